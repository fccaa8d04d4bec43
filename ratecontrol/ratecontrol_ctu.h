// Per-CTU rate control (declared with the rest of rate control).
#pragma once

#include "ratecontrol/ratecontrol.h"
