#pragma once

// Host parameters of Pelmor. The index is also the VST3 and CLAP parameter id and the
// position of the value in the state chunk.
enum PelmorParam : int {
    kParamCharacter = 0,
    kParamSag = 1,
    kParamDrift = 2,
    kParamBias = 3,
    kParamKnee = 4,
    kParamTilt = 5,
    kParamHpf = 6,
    kParamBump = 7,
    kParamNarrow = 8,
    kParamQuality = 9,
    kParamDrive = 10,
    kParamMix = 11,
    kParamOut = 12,
    kParamAnchor = 13,
    kParamBypass = 14,
    kParamMatch = 15,
    kParamDelta = 16,
    kParamMachineDrive = 17,
    kNumParams = 18,
};

// Machine parameters (shared by every instance through the shared machine).
constexpr bool IsMachineParam(int idx)
{
    return (idx >= kParamCharacter && idx <= kParamQuality) || idx == kParamMachineDrive;
}

// Bits of per-track parameters changed from elsewhere and not yet reported to the host.
enum PelmorTrackBit : unsigned {
    kTrackBitDrive = 1,
    kTrackBitMix = 2,
    kTrackBitOut = 4,
    kTrackBitAnchor = 8,
};

constexpr int kNumFrameworkPresets = 6;
