#include "Oversampler.h"

#include <algorithm>
#include <cmath>

namespace pelmor {

std::int32_t Oversampler::stagesFor(std::int32_t q) {
    const std::int32_t ratio = kOsRatio[std::clamp(q, 0, 2)];
    std::int32_t b = 0;
    while ((1 << b) < ratio) ++b;
    return b;
}

std::int32_t Oversampler::addedDelayFor(std::int32_t q, std::int32_t lineLength) {
    const auto r = static_cast<std::int32_t>(std::lround(kOsRoundTripDelay[std::clamp(q, 0, 2)]));
    std::int32_t d = r < kOsTotalDelay ? kOsTotalDelay - r : 0;
    if (d >= lineLength) d = lineLength - 1;
    return d;
}

void Oversampler::prepare() {
    for (int s = 0; s < kOsMaxStages; ++s) {
        for (int k = 0; k < kOsSections; ++k) {
            const double* c = kOsCoefficients[k];
            up[s][k] = Section{c[0], c[1], c[2], c[3], c[4], 0.0, 0.0};
            down[s][k] = Section{c[0], c[1], c[2], c[3], c[4], 0.0, 0.0};
        }
    }
    quality = std::clamp(quality, 0, 2);
    stages = stagesFor(quality);
    delay = addedDelayFor(quality, static_cast<std::int32_t>(delayLine.size()));
    clear();
}

void Oversampler::setQuality(std::int32_t q) {
    quality = std::clamp(q, 0, 2);
    stages = stagesFor(quality);
    delay = addedDelayFor(quality, static_cast<std::int32_t>(delayLine.size()));
    std::fill(delayLine.begin(), delayLine.end(), 0.0);
    writePos = 0;
}

void Oversampler::clear() {
    for (int s = 0; s < kOsMaxStages; ++s) {
        for (int k = 0; k < kOsSections; ++k) {
            up[s][k].clear();
            down[s][k].clear();
        }
    }
    std::fill(delayLine.begin(), delayLine.end(), 0.0);
    writePos = 0;
    std::fill(std::begin(work), std::end(work), 0.0);
    std::fill(std::begin(scratch), std::end(scratch), 0.0);
}

}  // namespace pelmor
