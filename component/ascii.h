// Upper- and lower-casing of ASCII letters only. Names that the system compares (switch ids,
// registry roots, command words) are ASCII, and a locale's case mapping must not turn some other
// character into one of them (the Kelvin sign into K, a dotless i into I).
#pragma once

#include <string>

namespace vantrel {

template <class Char>
std::basic_string<Char> ascii_upper(std::basic_string<Char> text) {
    for (Char& c : text) {
        if (c >= Char('a') && c <= Char('z')) c = static_cast<Char>(c - Char('a') + Char('A'));
    }
    return text;
}

template <class Char>
std::basic_string<Char> ascii_lower(std::basic_string<Char> text) {
    for (Char& c : text) {
        if (c >= Char('A') && c <= Char('Z')) c = static_cast<Char>(c - Char('A') + Char('a'));
    }
    return text;
}

}  // namespace vantrel
