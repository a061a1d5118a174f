// The IEEE 1149.1 TAP controller, written from the standard's state diagram: the one reference
// that both the library's TMS paths and the virtual pod's TAP models are checked against.
// The states stand in the order of vpod::control::TapState.
#pragma once

#include <cstdint>

namespace ieee {

enum class Tap : uint8_t {
    TestLogicReset, RunTestIdle, SelectDr, CaptureDr, ShiftDr, Exit1Dr, PauseDr, Exit2Dr, UpdateDr,
    SelectIr, CaptureIr, ShiftIr, Exit1Ir, PauseIr, Exit2Ir, UpdateIr,
};
constexpr int kStates = 16;

inline Tap next(Tap s, int tms) {
    using T = Tap;
    static const T table[kStates][2] = {   // {TMS 0, TMS 1}
        {T::RunTestIdle, T::TestLogicReset}, {T::RunTestIdle, T::SelectDr}, {T::CaptureDr, T::SelectIr},
        {T::ShiftDr, T::Exit1Dr},   {T::ShiftDr, T::Exit1Dr},  {T::PauseDr, T::UpdateDr}, {T::PauseDr, T::Exit2Dr},
        {T::ShiftDr, T::UpdateDr},  {T::RunTestIdle, T::SelectDr}, {T::CaptureIr, T::TestLogicReset},
        {T::ShiftIr, T::Exit1Ir},   {T::ShiftIr, T::Exit1Ir},  {T::PauseIr, T::UpdateIr}, {T::PauseIr, T::Exit2Ir},
        {T::ShiftIr, T::UpdateIr},  {T::RunTestIdle, T::SelectDr},
    };
    return table[static_cast<int>(s)][tms ? 1 : 0];
}

}  // namespace ieee
