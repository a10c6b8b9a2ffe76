#pragma once

#include <cstdint>

namespace pelmor {

// The six machine characters. Any value outside 0..5 is treated as Reel.
enum class ECharacter : std::int32_t {
    Bus = 0,      // "bus"
    Valve = 1,    // "valve"
    Silicon = 2,  // "silicon"
    Reel = 3,     // "reel" (the default)
    Iron = 4,     // "iron"
    Oxide = 5,    // "oxide"
};

inline constexpr int kCharacterCount = 6;
inline constexpr std::int32_t kDefaultCharacter = 3;

// The machine-wide settings shared by every instance. Defaults are the "reel" machine.
struct MachineParams {
    std::int32_t character = kDefaultCharacter;  // ECharacter value
    double sag = 0.55;           // 0..1
    double drift = 0.06;         // 0..1, ms of delay swing at full curve deflection
    double bias = 0.05;          // 0..1, offset added before the curve
    double knee = 4.5;           // 1..14, curve exponent
    double tiltDb = 0.0;         // -6..6 dB
    double hpfHz = 16.0;         // 16..400 Hz; 17 Hz or less is off
    double bump = 0.0;           // 0..3 dB
    double narrow = 3.0;         // 0..6 dB
    std::int32_t quality = 1;    // 0 = x1, 1 = x4, 2 = x8
    double machineDrive = 1.0;   // 0..2, linear
};

bool operator==(const MachineParams& a, const MachineParams& b);

// One row of the character table.
struct CharacterDef {
    const char* name;   // label, same as the ECharacter label
    const char* note;   // one-line sketch shown by the editor
    const char* desc;   // the circuit the character models
    double bias;        // default Bias, also the calibration's reference bias
    double knee;        // default Knee, also the calibration's reference knee
    double tiltDb;      // default Tilt
    double bump;        // default Bump
    double narrow;      // default Narrow
    double drift;       // default Drift
    double driveScale;  // base drive into the curve
};

extern const CharacterDef kCharacters[kCharacterCount];

// Makeup gain of the wet signal per character, sampled at drive multipliers 0.0, 0.1 ... 2.0.
inline constexpr int kCharacterGainColumns = 21;
extern const double kCharacterGain[kCharacterCount][kCharacterGainColumns];

// Index of the character row used for `character`: the value itself when inside 0..5, else 3.
int characterIndex(std::int32_t character);
inline const CharacterDef& characterRow(std::int32_t character) {
    return kCharacters[characterIndex(character)];
}

// Returns the record with every field inside its range: non-finite values take the default,
// finite ones are clamped to the parameter range, a character outside 0..5 becomes 3 and the
// quality is clamped to 0..2. The engine only ever runs on such a record.
MachineParams sanitized(const MachineParams& p);

// RMS level of one cycle of the calibration sine through the unbiased, unscaled curve with the
// negative half-wave reduced by 0.55*bias (512 points).
double curveLevel(double bias, double knee);

// The calibrated drive into the curve for a record: driveScale x R(row) / R(record), clamped
// to 0.05..9.99.
double calibrateDrive(const MachineParams& p);

// Makeup gain for a character at the given calibrated drive, machine drive and track drive:
// linear interpolation in the character's row of kCharacterGain at
// x = 10 x driveTrim x machineDrive x trackDrive / driveScale.
double makeupFor(std::int32_t character, double driveTrim, double machineDrive, double trackDrive);

// Parameter indices of the plug-in (also the host ids and the order in the state chunk).
namespace param {
inline constexpr int kCharacter = 0;
inline constexpr int kSag = 1;
inline constexpr int kDrift = 2;
inline constexpr int kBias = 3;
inline constexpr int kKnee = 4;
inline constexpr int kTilt = 5;
inline constexpr int kHpf = 6;
inline constexpr int kBump = 7;
inline constexpr int kNarrow = 8;
inline constexpr int kQuality = 9;
inline constexpr int kDrive = 10;
inline constexpr int kMix = 11;
inline constexpr int kOut = 12;
inline constexpr int kAnchor = 13;
inline constexpr int kBypass = 14;
inline constexpr int kMatch = 15;
inline constexpr int kDelta = 16;
inline constexpr int kMachineDrive = 17;
inline constexpr int kCount = 18;
}  // namespace param

// Builds the machine record from the 18 parameter values: Character and Quality truncated to
// integers, the others as they are. Values outside a parameter's range are clamped to it first
// and non-finite values take the parameter's default, so the truncation is always defined.
MachineParams machineParamsFromValues(const double values[param::kCount]);

}  // namespace pelmor
