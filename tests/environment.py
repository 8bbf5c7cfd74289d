"""What this machine can run, for tests and doc examples that need more than Python."""
import os


def spark_missing():
    """Why a local Spark cannot run here, or None."""
    if os.environ.get("MURK_SANITIZERS"):
        return "the JVM cannot run under the preloaded sanitizer runtimes"
    try:
        import pyspark  # noqa: F401
    except ImportError:
        return "pyspark is not installed (pip install murk[spark])"
    import shutil
    if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
        return "no Java runtime (java is not on the PATH)"
    return None
