#pragma once

#include <atomic>
#include <initializer_list>
#include <string>
#include <vector>

namespace fw {

// One host parameter. The value is a double stored and loaded atomically, so any
// thread may read it without a lock. Setting a value ignores NaN, rounds stepped
// kinds (enumerations and booleans) to their step and clamps to the range;
// continuous values are only clamped. All shapes are linear.
class Param {
public:
    enum class Kind { None, Double, Enum, Bool };
    enum Flags : int {
        kFlagsNone = 0,
        kFlagCannotAutomate = 1 << 0,
    };

    Param() = default;
    Param(const Param&) = delete;
    Param& operator=(const Param&) = delete;

    void InitDouble(const char* name, double defaultVal, double minVal, double maxVal, double step,
                    const char* label = "", int flags = kFlagsNone);
    void InitEnum(const char* name, int defaultVal, std::initializer_list<const char*> labels,
                  const char* label = "", int flags = kFlagsNone);
    void InitBool(const char* name, bool defaultVal, const char* label = "", int flags = kFlagsNone,
                  const char* offText = "off", const char* onText = "on");

    Kind GetKind() const { return kind; }
    const char* GetName() const { return name.c_str(); }
    const char* GetLabel() const { return label.c_str(); }
    int GetFlags() const { return flags; }
    bool GetCanAutomate() const { return (flags & kFlagCannotAutomate) == 0; }
    bool GetStepped() const { return kind == Kind::Enum || kind == Kind::Bool; }
    double GetMin() const { return minValue; }
    double GetMax() const { return maxValue; }
    double GetStep() const { return step; }
    double GetDefault() const { return defaultValue; }
    double GetDefaultNormalized() const { return ToNormalized(defaultValue); }
    int NDisplayTexts() const { return static_cast<int>(displayTexts.size()); }
    const char* GetDisplayText(int i) const;  // enumeration and boolean labels; "" out of range
    // Steps of a stepped parameter across its range (5 for an enumeration of 6), 0 for continuous.
    int GetStepCount() const;

    double Value() const { return value.load(std::memory_order_relaxed); }
    bool Bool() const { return Value() >= 0.5; }
    int Int() const { return static_cast<int>(Value()); }

    // Set the plain value (NaN is ignored). Returns true when the stored value changed.
    bool Set(double v);
    bool SetNormalized(double n) { return Set(FromNormalized(n)); }
    void SetToDefault() { Set(defaultValue); }
    double GetNormalized() const { return ToNormalized(Value()); }

    // Step rounding (stepped kinds: nearest multiple, halves away from zero) and clamping.
    // NaN stays NaN so callers can ignore it.
    double Constrain(double v) const;
    double ToNormalized(double plain) const;    // linear, clamped to 0..1
    double FromNormalized(double norm) const;   // linear, then constrained

    // Text of a plain value: labels for enumerations and booleans, otherwise the number with
    // as many decimals as the step has, followed by " " and the label when there is one.
    void GetDisplay(double plain, char* out, int outSize) const;
    std::string GetDisplay(double plain) const;
    std::string GetDisplay() const { return GetDisplay(Value()); }
    // Text to plain value: labels (any case) and numbers for stepped kinds, numbers with an
    // optional unit label for continuous ones. The result is constrained. Bad text: false.
    bool StringToValue(const char* text, double& out) const;

    // Decimals shown for a step (0.01 -> 2, 1 -> 0, 0.1 -> 1).
    static int DecimalsForStep(double step);

private:
    void InitCommon(const char* paramName, Kind k, double defaultVal, double minVal, double maxVal,
                    double stepSize, const char* unitLabel, int paramFlags);

    std::atomic<double> value{0.0};
    Kind kind = Kind::None;
    std::string name;
    std::string label;
    std::vector<std::string> displayTexts;
    double defaultValue = 0.0;
    double minValue = 0.0;
    double maxValue = 1.0;
    double step = 0.0;
    int decimals = 2;
    int flags = kFlagsNone;
};

}  // namespace fw
