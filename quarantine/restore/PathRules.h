// The path rules now live in base/PathRules.h; this name stays only for the digests' tool until it
// includes base/PathRules.h itself.
#pragma once

#include "base/PathRules.h"
