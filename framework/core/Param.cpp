#include "core/Param.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace fw {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// Trimmed view of a C string.
void Trim(const char*& begin, const char*& end)
{
    while (begin < end && IsSpace(*begin)) ++begin;
    while (end > begin && IsSpace(end[-1])) --end;
}

bool EqualsNoCase(const char* a, const char* aEnd, const std::string& b)
{
    if (static_cast<size_t>(aEnd - a) != b.size()) return false;
    for (size_t i = 0; i < b.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// Parses a finite number at the start of [begin, end); returns the end of the number or null.
const char* ParseNumber(const char* begin, const char* end, double& out)
{
    const char* p = begin;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = (*p == '-');
        ++p;
    }
    if (p < end && (*p == '+' || *p == '-')) return nullptr;
    double v = 0.0;
    auto res = std::from_chars(p, end, v, std::chars_format::general);
    if (res.ec != std::errc()) return nullptr;
    if (!std::isfinite(v)) return nullptr;  // "nan", "inf"
    out = negative ? -v : v;
    return res.ptr;
}

}  // namespace

void Param::InitCommon(const char* paramName, Kind k, double defaultVal, double minVal, double maxVal,
                       double stepSize, const char* unitLabel, int paramFlags)
{
    name = paramName ? paramName : "";
    label = unitLabel ? unitLabel : "";
    kind = k;
    if (minVal > maxVal) std::swap(minVal, maxVal);
    minValue = minVal;
    maxValue = maxVal;
    step = (stepSize > 0.0 && std::isfinite(stepSize)) ? stepSize : 0.0;
    decimals = DecimalsForStep(step);
    flags = paramFlags;
    defaultValue = Constrain(defaultVal);
    if (std::isnan(defaultValue)) defaultValue = minValue;
    value.store(defaultValue, std::memory_order_relaxed);
}

void Param::InitDouble(const char* paramName, double defaultVal, double minVal, double maxVal, double stepSize,
                       const char* unitLabel, int paramFlags)
{
    displayTexts.clear();
    InitCommon(paramName, Kind::Double, defaultVal, minVal, maxVal, stepSize, unitLabel, paramFlags);
}

void Param::InitEnum(const char* paramName, int defaultVal, std::initializer_list<const char*> labels,
                     const char* unitLabel, int paramFlags)
{
    displayTexts.clear();
    for (const char* l : labels) displayTexts.emplace_back(l ? l : "");
    const double maxVal = labels.size() > 0 ? static_cast<double>(labels.size() - 1) : 0.0;
    InitCommon(paramName, Kind::Enum, defaultVal, 0.0, maxVal, 1.0, unitLabel, paramFlags);
}

void Param::InitBool(const char* paramName, bool defaultVal, const char* unitLabel, int paramFlags,
                     const char* offText, const char* onText)
{
    displayTexts.clear();
    displayTexts.emplace_back(offText ? offText : "off");
    displayTexts.emplace_back(onText ? onText : "on");
    InitCommon(paramName, Kind::Bool, defaultVal ? 1.0 : 0.0, 0.0, 1.0, 1.0, unitLabel, paramFlags);
}

const char* Param::GetDisplayText(int i) const
{
    if (i < 0 || i >= NDisplayTexts()) return "";
    return displayTexts[static_cast<size_t>(i)].c_str();
}

int Param::GetStepCount() const
{
    if (!GetStepped() || step <= 0.0) return 0;
    return static_cast<int>(std::lround((maxValue - minValue) / step));
}

double Param::Constrain(double v) const
{
    if (std::isnan(v)) return v;
    if (GetStepped() && step > 0.0) v = std::round(v / step) * step;  // std::round: halves away from zero
    return std::clamp(v, minValue, maxValue);
}

bool Param::Set(double v)
{
    const double c = Constrain(v);
    if (std::isnan(c)) return false;
    const double old = value.exchange(c, std::memory_order_relaxed);
    return old != c;
}

double Param::ToNormalized(double plain) const
{
    const double range = maxValue - minValue;
    if (std::isnan(plain)) return 0.0;
    if (!(range > 0.0)) return 0.0;
    return std::clamp((plain - minValue) / range, 0.0, 1.0);
}

double Param::FromNormalized(double norm) const
{
    if (std::isnan(norm)) return norm;
    norm = std::clamp(norm, 0.0, 1.0);
    return Constrain(minValue + norm * (maxValue - minValue));
}

int Param::DecimalsForStep(double stepSize)
{
    if (!(stepSize > 0.0) || !std::isfinite(stepSize)) return 2;
    for (int d = 0; d < 6; ++d) {
        const double scaled = stepSize * std::pow(10.0, d);
        if (std::fabs(scaled - std::round(scaled)) < 1e-9 * std::max(1.0, scaled)) return d;
    }
    return 6;
}

void Param::GetDisplay(double plain, char* out, int outSize) const
{
    if (!out || outSize <= 0) return;
    out[0] = '\0';
    if (std::isnan(plain)) plain = Value();
    plain = Constrain(plain);
    if (kind == Kind::Enum || kind == Kind::Bool) {
        const int idx = static_cast<int>(std::lround(plain - minValue));
        std::snprintf(out, static_cast<size_t>(outSize), "%s", GetDisplayText(idx));
        return;
    }
    char number[64];
    std::snprintf(number, sizeof number, "%.*f", decimals, plain);
    // A value that rounds to zero shows without a sign ("-0.00" reads as a fault).
    bool allZero = true;
    for (const char* p = number; *p; ++p)
        if (*p >= '1' && *p <= '9') allZero = false;
    const char* shown = (allZero && number[0] == '-') ? number + 1 : number;
    if (label.empty())
        std::snprintf(out, static_cast<size_t>(outSize), "%s", shown);
    else
        std::snprintf(out, static_cast<size_t>(outSize), "%s %s", shown, label.c_str());
}

std::string Param::GetDisplay(double plain) const
{
    char buf[128];
    GetDisplay(plain, buf, sizeof buf);
    return buf;
}

bool Param::StringToValue(const char* text, double& out) const
{
    if (!text) return false;
    const char* begin = text;
    const char* end = text + std::strlen(text);
    Trim(begin, end);
    if (begin == end) return false;

    if (kind == Kind::Enum || kind == Kind::Bool) {
        for (size_t i = 0; i < displayTexts.size(); ++i) {
            if (EqualsNoCase(begin, end, displayTexts[i])) {
                out = Constrain(minValue + static_cast<double>(i));
                return true;
            }
        }
    }

    double v = 0.0;
    const char* rest = ParseNumber(begin, end, v);
    if (!rest) return false;
    const char* restEnd = end;
    Trim(rest, restEnd);
    if (rest != restEnd) {
        // Only the parameter's own unit may follow the number.
        if (label.empty() || !EqualsNoCase(rest, restEnd, label)) return false;
    }
    out = Constrain(v);
    return true;
}

}  // namespace fw
