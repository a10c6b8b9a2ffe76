#include "Stage.h"

#include <numbers>

namespace pelmor {

void SaturationStage::prepare(double rate) {
    const double t = std::tan(designOmega(2.0 * std::numbers::pi * 10.0, rate) / 2.0);
    dcB0 = 1.0 / (1.0 + t);
    dcB1 = -dcB0;
    dcA1 = (t - 1.0) / (1.0 + t);
    band.sampleRate = rate;
    band.rebuild();
    clear();
}

}  // namespace pelmor
