#pragma once

#include <QString>

#include <cstdint>

struct VersionNumber
{
    std::int32_t major = -1;
    std::int32_t minor = -1;

    // The first "<digits>.<digits>" found anywhere in the text; -1.-1 when none.
    static VersionNumber fromText(const QString& text);
    bool isNewerThan(const VersionNumber& other) const;
};
