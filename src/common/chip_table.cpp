// SPDX-License-Identifier: MIT
// Looking a controller family up in the chip table, by chip ID or by the
// name of an image.
#include "chip_table.h"

#include <cstring>

const ChipFamily* ChipFamilyOf(INT8U chip_id)
{
    for (const ChipFamily& family : kChipFamilies)
        if (family.chip_id == chip_id)
            return &family;
    return nullptr;
}

const ChipFamily* ScannedFamilyOf(INT8U chip_id)
{
    const ChipFamily* family = ChipFamilyOf(chip_id);
    return family && family->model ? family : nullptr;
}

const ChipFamily* FamilyKeyedIn(const char* text, size_t length)
{
    for (const ChipFamily& family : kChipFamilies)
        if (memmem(text, length, family.key, std::strlen(family.key)))
            return &family;
    return nullptr;
}

const ChipFamily* FamilyNamed(const char* family_text)
{
    for (const ChipFamily& family : kChipFamilies)
        if (std::strncmp(family_text, family.family_text, 4) == 0)
            return &family;
    return nullptr;
}
