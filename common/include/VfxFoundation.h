// The whole foundation library (without the XML parser parts).
#pragma once

#include "StringBuffer.h"
#include "VfxConfig.h"
#include "VfxLogger.h"
#include "VfxMemory.h"
#include "VfxPlatform.h"
#include "VfxPtrList.h"
#include "VfxStack.h"
#include "VfxStringMap.h"
#include "VfxStrings.h"
