// The binding frame every class goes through, in four layers, each building
// on the one before: errors and references, item keys, batches (the
// arguments a call runs through without the GIL) and argument binding with
// the method, slot and type machinery.
#pragma once

#include "frame_errors.hpp"
#include "frame_keys.hpp"
#include "frame_batches.hpp"
#include "frame_binding.hpp"
