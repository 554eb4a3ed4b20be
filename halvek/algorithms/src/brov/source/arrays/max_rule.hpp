// pop_max's choice of the maximum, shared by the container, the tie search and the cutting
// planners so that the three cannot drift apart: the running maximum starts at -1.0 and each value
// is compared with > and ==, so NaN and values below -1.0 never take part.
#pragma once

namespace brov {

enum class MaxOffer { ignored, equal, raised };

struct RunningMax {
    float value = -1.0f;

    MaxOffer offer(float v) {
        if (v > value) {
            value = v;
            return MaxOffer::raised;
        }
        return v == value ? MaxOffer::equal : MaxOffer::ignored;
    }

    // Whether v can ever be (or tie) the maximum.
    static bool takes_part(float v) { return v >= -1.0f; }
};

}  // namespace brov
