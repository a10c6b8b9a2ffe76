#pragma once

#include <cstdint>
#include <vector>

#include "Section.h"

namespace pelmor {

// Oversampling factor per quality index: "x1", "x4", "x8".
inline constexpr std::int32_t kOsRatio[3] = {1, 4, 8};
// Round-trip delay of the interpolate-then-decimate cascade per quality, in base-rate samples.
inline constexpr double kOsRoundTripDelay[3] = {0.0, 7.022432, 8.192837};
// Total delay of every quality once the added delay line has topped the cascade up.
inline constexpr int kOsTotalDelay = 9;
inline constexpr int kOsSections = 6;
inline constexpr int kOsMaxStages = 3;
inline constexpr int kOsDelayLineLength = 12;

// The 12th-order elliptic half-band low-pass used by every x2 step, up and down:
// b0, b1, b2, a1, a2 per section.
inline constexpr double kOsCoefficients[kOsSections][5] = {
    {0.0029361183677506135, 0.005450885768491254, 0.002936118367750613, -1.0261974674260663, 0.3052764822251564},
    {1.0, 1.1090886975278211, 1.0000000000000002, -0.8288096565443347, 0.47249395173897124},
    {1.0, 0.48662020276238693, 0.9999999999999999, -0.5942583351543708, 0.6728183303753652},
    {1.0, 0.1485676927034368, 0.9999999999999997, -0.4245887732741742, 0.8220384472685849},
    {1.0, -0.012854413243165237, 1.0000000000000002, -0.32960975442373613, 0.915346451428801},
    {1.0, -0.07679243980654543, 1.0000000000000002, -0.2912608709793762, 0.9751054583161142},
};

// One channel's oversampler: up to three cascaded x2 steps up, the curve at the top rate (run
// by the engine), the mirror cascade down, and an added delay that makes every quality delay
// by kOsTotalDelay base-rate samples. This holds the filter states, the delay line and the
// quality; the sample loop is kernel::oversampledCurve (Kernels.inl), which reads and writes
// them for both channels at once.
struct Oversampler {
    Section up[kOsMaxStages][kOsSections];
    Section down[kOsMaxStages][kOsSections];
    std::vector<double> delayLine = std::vector<double>(kOsDelayLineLength, 0.0);
    std::int32_t delay = 2;
    std::int32_t writePos = 0;
    // Layout only: the kernel keeps its per-sample work in local arrays and never reads these;
    // clear() zeroes them.
    double work[8] = {};
    double scratch[8] = {};
    std::int32_t quality = 1;
    std::int32_t stages = 2;

    // Loads the coefficients, sets stages and delay for `quality` and clears every state.
    void prepare();
    // Quality change: stage count, added delay, delay line cleared, write position 0. The
    // filter states carry on. Out-of-range values are clamped to 0..2.
    void setQuality(std::int32_t q);
    // Clears filter states, delay line, write position and the work buffers.
    void clear();

    static std::int32_t stagesFor(std::int32_t quality);
    static std::int32_t addedDelayFor(std::int32_t quality, std::int32_t lineLength);
};

}  // namespace pelmor
