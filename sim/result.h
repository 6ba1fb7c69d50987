// The simulator's name for the host side's result types (common/result.h).
#pragma once

#include "common/result.h"

namespace sim {

using common::Result;
using common::Status;

}  // namespace sim
