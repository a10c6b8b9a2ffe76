#include "MachineParams.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace pelmor {

const CharacterDef kCharacters[kCharacterCount] = {
    {"bus", "the only progressive one \xE2\x80\x94 even, soft, ceilings early", "dual-stage valve & FET bus",
     0.45, 4.5, -0.5, 0.0, 0.0, 0.0, 2.4},
    {"valve", "discreet tube, breaks late", "discrete triode stage", 0.12, 3.0, 0.0, 0.0, 0.0, 0.0, 3.2},
    {"silicon", "plenty of material from a gentle slope starting very low", "transistor saturator", 0.2, 3.0,
     0.0, 0.0, 0.0, 0.0, 3.1},
    {"reel", "tape: odd, band narrowing and drift \xE2\x80\x94 the default", "transformer tape stage", 0.05, 4.5,
     0.0, 0.0, 3.0, 0.06, 0.2},
    {"iron", "transformer: clean, then it breaks (the sharpest knee)", "passive iron & valve", 0.12, 12.0, 0.0,
     0.0, 0.0, 0.0, 3.3},
    {"oxide", "tape bias: even and bright (+3 dB at 8 kHz)", "tape bias & oxide", 0.45, 1.0, 3.0, 0.0, 0.0, 0.0,
     0.8},
};

const double kCharacterGain[kCharacterCount][kCharacterGainColumns] = {
    // bus
    {4.248697, 4.248697, 2.131658, 1.428922, 1.079612, 0.871485, 0.733751, 0.636056, 0.563232, 0.506868, 0.461945,
     0.425291, 0.394813, 0.369079, 0.347079, 0.32808, 0.311539, 0.297039, 0.284256, 0.272933, 0.262859},
    // valve
    {3.155614, 3.155614, 1.581513, 1.058628, 0.798834, 0.644469, 0.542906, 0.471525, 0.418975, 0.378923, 0.347558,
     0.322448, 0.301972, 0.28501, 0.270766, 0.25866, 0.248261, 0.239243, 0.231357, 0.224406, 0.218237},
    // silicon
    {3.286169, 3.286169, 1.648852, 1.105368, 0.835256, 0.674487, 0.5684, 0.493555, 0.43822, 0.395864, 0.362562,
     0.335809, 0.313931, 0.295768, 0.280491, 0.267494, 0.256324, 0.246635, 0.238163, 0.230698, 0.224077},
    // reel
    {52.885913, 52.885913, 26.44296, 17.628643, 13.221486, 10.577192, 8.81433, 7.555144, 6.610756, 5.876232,
     5.288613, 4.807835, 4.407188, 4.068179, 3.777602, 3.525768, 3.305415, 3.110986, 2.938162, 2.783531,
     2.644364},
    // iron
    {3.050476, 3.050476, 1.525238, 1.01683, 0.76266, 0.610258, 0.508902, 0.437009, 0.383861, 0.343464, 0.312132,
     0.287431, 0.267678, 0.251678, 0.238552, 0.227649, 0.218479, 0.210678, 0.20397, 0.198144, 0.19304},
    // oxide
    {29.580221, 29.580221, 14.786964, 9.852783, 7.383361, 5.899832, 4.909236, 4.200302, 3.667399, 3.251865,
     2.918511, 2.644941, 2.416246, 2.222105, 2.055147, 1.909981, 1.78257, 1.669838, 1.569398, 1.479376, 1.39829},
};

bool operator==(const MachineParams& a, const MachineParams& b) {
    return a.character == b.character && a.sag == b.sag && a.drift == b.drift && a.bias == b.bias &&
           a.knee == b.knee && a.tiltDb == b.tiltDb && a.hpfHz == b.hpfHz && a.bump == b.bump &&
           a.narrow == b.narrow && a.quality == b.quality && a.machineDrive == b.machineDrive;
}

int characterIndex(std::int32_t character) {
    return (character >= 0 && character < kCharacterCount) ? static_cast<int>(character) : kDefaultCharacter;
}

namespace {

double clampOr(double v, double lo, double hi, double fallback) {
    if (!std::isfinite(v)) return fallback;
    return v < lo ? lo : (v > hi ? hi : v);
}

// Clamps v to lo..hi and truncates it toward zero; a non-finite v gives the fallback.
std::int32_t truncClamp(double v, int lo, int hi, int fallback) {
    if (!std::isfinite(v)) return fallback;
    if (v < lo) v = lo;
    if (v > hi) v = hi;
    return static_cast<std::int32_t>(v);
}

}  // namespace

MachineParams sanitized(const MachineParams& p) {
    const MachineParams def;
    MachineParams s;
    s.character = characterIndex(p.character);
    s.sag = clampOr(p.sag, 0.0, 1.0, def.sag);
    s.drift = clampOr(p.drift, 0.0, 1.0, def.drift);
    s.bias = clampOr(p.bias, 0.0, 1.0, def.bias);
    s.knee = clampOr(p.knee, 1.0, 14.0, def.knee);
    s.tiltDb = clampOr(p.tiltDb, -6.0, 6.0, def.tiltDb);
    s.hpfHz = clampOr(p.hpfHz, 16.0, 400.0, def.hpfHz);
    s.bump = clampOr(p.bump, 0.0, 3.0, def.bump);
    s.narrow = clampOr(p.narrow, 0.0, 6.0, def.narrow);
    s.quality = p.quality < 0 ? 0 : (p.quality > 2 ? 2 : p.quality);
    s.machineDrive = clampOr(p.machineDrive, 0.0, 2.0, def.machineDrive);
    return s;
}

double curveLevel(double bias, double knee) {
    const double k = std::max(knee, 1.0);
    const double n = 1.0 - 0.55 * bias;
    double sum = 0.0;
    for (int i = 0; i < 512; ++i) {
        const double s = std::sin(2.0 * std::numbers::pi * i / 512.0);
        const double u = s >= 0.0 ? s : n * s;
        const double y = u / std::pow(1.0 + std::pow(std::fabs(u), k), 1.0 / k);
        sum += y * y;
    }
    return std::sqrt(sum / 512.0);
}

double calibrateDrive(const MachineParams& p) {
    const CharacterDef& row = characterRow(p.character);
    const double rRef = curveLevel(row.bias, row.knee);
    const double rUser = curveLevel(p.bias, p.knee);
    const double trim = row.driveScale * rRef / (rUser > 0.0 ? rUser : 1e-9);
    if (!(trim >= 0.05)) return 0.05;  // also catches NaN
    return trim > 9.99 ? 9.99 : trim;
}

double makeupFor(std::int32_t character, double driveTrim, double machineDrive, double trackDrive) {
    const int c = characterIndex(character);
    const double* g = kCharacterGain[c];
    const double x = 10.0 * driveTrim * machineDrive * trackDrive / kCharacters[c].driveScale;
    if (!(x > 0.0)) return g[0];  // x <= 0, and NaN
    if (x >= 20.0) return g[20];
    const int i = static_cast<int>(x);
    return g[i] + (x - i) * (g[i + 1] - g[i]);
}

MachineParams machineParamsFromValues(const double values[param::kCount]) {
    const MachineParams def;
    MachineParams p;
    p.character = truncClamp(values[param::kCharacter], 0, 5, def.character);
    p.sag = clampOr(values[param::kSag], 0.0, 1.0, def.sag);
    p.drift = clampOr(values[param::kDrift], 0.0, 1.0, def.drift);
    p.bias = clampOr(values[param::kBias], 0.0, 1.0, def.bias);
    p.knee = clampOr(values[param::kKnee], 1.0, 14.0, def.knee);
    p.tiltDb = clampOr(values[param::kTilt], -6.0, 6.0, def.tiltDb);
    p.hpfHz = clampOr(values[param::kHpf], 16.0, 400.0, def.hpfHz);
    p.bump = clampOr(values[param::kBump], 0.0, 3.0, def.bump);
    p.narrow = clampOr(values[param::kNarrow], 0.0, 6.0, def.narrow);
    p.quality = truncClamp(values[param::kQuality], 0, 2, def.quality);
    p.machineDrive = clampOr(values[param::kMachineDrive], 0.0, 2.0, def.machineDrive);
    return p;
}

}  // namespace pelmor
