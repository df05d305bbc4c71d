#include "pen_click.h"

#include <cmath>

namespace {

// Largest value handed to the sink; anything beyond 4095 is clamped there.
constexpr double kPixelCeiling = 1 << 20;

// Truncates toward zero. Values at or below -1 (and NaN) become -1, which the
// sink refuses; huge values stay well inside int.
int to_pixel(double v) {
    if (!(v > -1.0))
        return -1;
    if (v > kPixelCeiling)
        return static_cast<int>(kPixelCeiling);
    return static_cast<int>(v);
}

}  // namespace

const char *fmouse_gesture_phase_name(int phase) {
    switch (phase) {
        case PHASE_IDLE:
            return "idle";
        case PHASE_H0:
            return "H0";
        case PHASE_L0:
            return "L0";
        case PHASE_H1:
            return "H1";
        case PHASE_PASS:
            return "pass-through";
        case PHASE_SETTLE:
            return "settle";
        case PHASE_L1:
            return "L1";
        case PHASE_H2:
            return "H2";
    }
    return "?";
}

// ---- Helpers -----------------------------------------------------------------

int PenClickLogic::post(double x, double y, int left, int right) {
    return out_->post(to_pixel(x), to_pixel(y), left, right);
}

void PenClickLogic::set_phase(int next) {
    if (next != phase)
        out_->phase_changed(phase, next);
    phase = next;
}

void PenClickLogic::box_reset(double x, double y) {
    maxX = minX = x;
    maxY = minY = y;
}

void PenClickLogic::spread_update(double x, double y) {
    if (x > maxX)
        maxX = x;
    if (y > maxY)
        maxY = y;
    if (x < minX)
        minX = x;
    if (y < minY)
        minY = y;
}

bool PenClickLogic::spread_fails(int frames) const {
    return frames > kTapMaxFrames || maxX - minX > kTapSpreadX || maxY - minY > kTapSpreadY;
}

void PenClickLogic::store(double x, double y, double *X, double *Y, int &count, int &frames) {
    if (count < kTapSamples) {
        X[count] = x;
        Y[count] = y;
        count++;
    }
    frames++;
}

int PenClickLogic::end_connection() {
    int r = 0;
    if (phase == PHASE_PASS) {
        r = knoRSim(0);
    } else {
        // The recogniser holds back every tap it has: nothing of the gesture
        // has reached the desktop, so dropping it leaves no button down.
        lastRawOn = 0;
        r = release();
    }
    if (phase != PHASE_IDLE && phase != PHASE_PASS && phase != PHASE_SETTLE)
        out_->note("gesture dropped at the end of the connection\n");
    set_phase(PHASE_IDLE);
    tH0 = tH1 = tH2 = tL0 = tL1 = tWait = 0;
    II = JJ = KK = 0;
    return r;
}

void PenClickLogic::reset() {
    *this = PenClickLogic(*spot_, *clock_, *out_);
}

// ---- Gesture recogniser ----------------------------------------------------------

int PenClickLogic::sign_k(int flag) {
    flag = flag != 0;
    const double x = spot_->x;  // meaningful only with flag 1
    const double y = spot_->y;

    switch (phase) {
        case PHASE_IDLE:
            if (!flag)
                return knoRSim(0);
            X0[0] = x;
            Y0[0] = y;
            box_reset(x, y);
            tH0 = 1;
            II = 1;
            set_phase(PHASE_H0);
            return 0;

        case PHASE_H0:
            if (!flag) {
                tL0 = 1;
                set_phase(PHASE_L0);
                return 0;
            }
            store(x, y, X0, Y0, II, tH0);
            spread_update(x, y);
            if (!spread_fails(tH0))
                return 0;
            // Not a tap: the contact goes on as a stroke.
            set_phase(PHASE_PASS);
            return Burst(II, X0, Y0);

        case PHASE_L0:
            if (flag) {
                X1[0] = x;
                Y1[0] = y;
                box_reset(x, y);
                tH1 = 1;
                JJ = 1;
                set_phase(PHASE_H1);
                return 0;
            }
            if (++tL0 <= kTapMaxFrames)
                return 0;
            set_phase(PHASE_PASS);
            if (BurstEnd(II, X0, Y0) < 0)
                return -1;
            out_->note("Break in L0\n");
            return 0;

        case PHASE_H1:
            if (!flag) {
                tL1 = 1;
                set_phase(PHASE_L1);
                return 0;
            }
            store(x, y, X1, Y1, JJ, tH1);
            spread_update(x, y);
            if (!spread_fails(tH1))
                return 0;
            set_phase(PHASE_PASS);
            if (BurstEnd(II, X0, Y0) < 0 || Burst(JJ, X1, Y1) < 0)
                return -1;
            out_->note("Break in H1\n");
            return 0;

        case PHASE_L1:
            if (flag) {
                // The box of tap 2 stays: tap 3 is tested against it.
                X2[0] = x;
                Y2[0] = y;
                tH2 = 1;
                KK = 1;
                set_phase(PHASE_H2);
                return 0;
            }
            if (++tL1 <= kTapMaxFrames)
                return 0;
            // A double tap: both finished taps reach the desktop as clicks.
            set_phase(PHASE_PASS);
            if (BurstEnd(II, X0, Y0) < 0 || BurstEnd(JJ, X1, Y1) < 0)
                return -1;
            out_->note("Break in L1\n");
            return 0;

        case PHASE_H2:
            if (!flag) {
                // Leave the gesture before the click is posted, so that a failed
                // write never repeats the right click on the next frame.
                set_phase(PHASE_SETTLE);
                tWait = 0;
                return SignK(X0[0], Y0[0]);
            }
            store(x, y, X2, Y2, KK, tH2);
            spread_update(x, y);
            if (!spread_fails(tH2))
                return 0;
            // Tap 2 ended before tap 3 began: it is a click of its own, and
            // tap 3 goes on as the contact under way.
            set_phase(PHASE_PASS);
            if (BurstEnd(II, X0, Y0) < 0 || BurstEnd(JJ, X1, Y1) < 0 || Burst(KK, X2, Y2) < 0)
                return -1;
            out_->note("Break in H2\n");
            return 0;

        case PHASE_SETTLE:
            if (++tWait > kSettleFrames)
                set_phase(PHASE_IDLE);
            return 0;

        case PHASE_PASS:
        default:
            if (knoRSim(flag) < 0)
                return -1;
            if (!flag)
                set_phase(PHASE_IDLE);
            return 0;
    }
}

int PenClickLogic::Burst(int I, const double *X, const double *Y) {
    for (int i = 0; i < I; i++) {
        spot_->x = X[i];
        spot_->y = Y[i];
        if (knoRSim(1) < 0)
            return -1;
    }
    return 0;
}

int PenClickLogic::BurstEnd(int I, const double *X, const double *Y) {
    if (Burst(I, X, Y) < 0)
        return -1;
    return knoRSim(0);
}

int PenClickLogic::SignK(double x, double y) {
    out_->note("SignK detected\n");
    if (post(x, y, 0, 0) < 0)
        return -1;
    out_->note("right button motion\n");
    if (post(0, 0, 0, 1) < 0)
        return -1;
    out_->note("right button press\n");
    out_->pause_ms(kRightClickHoldMs);
    if (post(0, 0, 0, 0) < 0)
        return -1;
    out_->note("right button release\n");
    return 0;
}

// ---- Click generator ---------------------------------------------------------------

// Pen off with a press posted: release it where the pointer was last put, then
// add the extra click when this press began near, but not at, where the
// previous one began a short while ago.
int PenClickLogic::release() {
    if (!lastOn)
        return 0;
    if (post(baseX, baseY, 0, 0) < 0)
        return -1;
    lastOn = 0;
    if (static_cast<unsigned long>(*clock_) - lastStartT > kExtraClickWindow)
        return 0;
    const double dx = thisStartX - lastStartX;
    const double dy = thisStartY - lastStartY;
    if (std::fabs(dx + kSamePlaceOffset) <= kSamePlaceRadius &&
        std::fabs(dy + kSamePlaceOffset) <= kSamePlaceRadius)
        return 0;
    if (!(std::fabs(dx) < kNearX && std::fabs(dy) < kNearY))
        return 0;
    if (post(thisStartX, thisStartY, 1, 0) < 0)
        return -1;
    out_->pause_ms(kExtraClickHoldMs);
    return post(thisStartX, thisStartY, 0, 0);
}

int PenClickLogic::knoRSim(int flag) {
    if (!flag) {
        lastRawOn = 0;
        return release();
    }
    const double x = spot_->x;
    const double y = spot_->y;
    if (!lastRawOn) {
        // First sample of a contact: nothing to smooth with yet.
        lastX = x;
        lastY = y;
        lastRawOn = 1;
        return release();
    }

    const double tx = (lastX + x) * kSmoothWeight;
    const double ty = (lastY + y) * kSmoothWeight;
    spot_->x = tx;
    spot_->y = ty;
    lastX = x;
    lastY = y;

    if (!lastOn) {
        lastStartX = thisStartX;
        lastStartY = thisStartY;
        lastStartT = thisStartT;
        thisStartX = tx;
        thisStartY = ty;
        thisStartT = static_cast<unsigned long>(*clock_);
        if (post(tx, ty, 1, 0) < 0)
            return -1;
        baseX = tx;
        baseY = ty;
    } else if (std::fabs(tx - baseX) + std::fabs(ty - baseY) >= kDeadBand) {
        if (post(tx, ty, 1, 0) < 0)
            return -1;
        baseX = tx;
        baseY = ty;
    }
    lastOn = 1;
    return 0;
}
