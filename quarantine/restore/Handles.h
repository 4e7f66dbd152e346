// The handle owners now live in base/Handles.h; this name stays only for the digests' test and tool
// until they include base/Handles.h themselves.
#pragma once

#include "base/Handles.h"
