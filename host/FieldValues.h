#pragma once
// Value rules that fields and datasets share (internal to the host's datasets).
#include "core/DataPacket.h"

#include <QVariant>

inline bool isTextType(TFieldType t) {
    return t == TFieldType::String || t == TFieldType::FixedChar;
}

// A null QVariant and an invalid one are both the empty value.
inline bool isNullValue(const QVariant& v) {
    return !v.isValid() || v.isNull();
}
