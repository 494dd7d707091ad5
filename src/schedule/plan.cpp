#include "schedule/plan.h"

SchedulePlan planSchedule(const std::vector<ImageParameters>& images, ScheduleRequest request) {
    SchedulePlan plan{chooseSchedule(images, request), {}};
    if (plan.choice.kind == ScheduleKind::derived) plan.derived = deriveSchedule(images);
    return plan;
}

ScheduleSteps planSteps(const SchedulePlan& plan, const std::vector<ImageParameters>& images,
                        int fisheyeStart, int maxSize) {
    switch (plan.choice.kind) {
        case ScheduleKind::fisheye:
            return fisheyeSteps(images, fisheyeStart);
        case ScheduleKind::twoRing:
            return twoRingSteps(images);
        case ScheduleKind::derived:
            break;
    }
    return derivedSteps(plan.derived.steps, maxSize);
}
