// The item listing of four statements per item, the reference for the equivalence test.
#pragma once

#include <cstdint>

#include "quarantine/store/QuarManager.h"

namespace vondrel::test {

// GetItems as it was: the same records, codes and log lines, freed with FreeItems.
uint32_t GetItemsOneByOne(QuarantineHandle handle, QuarantineItemList** list);

}  // namespace vondrel::test
