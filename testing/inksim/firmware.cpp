#include <algorithm>
#include <cmath>

#include "NyxCalLib.h"
#include "inksim/firmware.h"

namespace inksim {

namespace {

constexpr uint8_t kFill = DEV_CMD_FILL;
// Where stray light shows up on the sensor.
constexpr double kStrayU = 980, kStrayV = 40;

}  // namespace

namespace {
uint8_t record_checksum(const uint8_t *record) {
    unsigned sum = 0;
    for (int i = 0; i < kCalSize - 1; ++i)
        sum += record[i];
    return static_cast<uint8_t>((sum + kCalSumSeed) & 0xFF);
}
}  // namespace

void seal_record(uint8_t *record) {
    record[kCalSize - 1] = record_checksum(record);
}

bool record_sealed(const uint8_t *record) {
    return record[kCalSize - 1] == record_checksum(record);
}

bool bd0_block_valid(const uint8_t *b, size_t n) {
    if (n != Firmware::kBd0Size)
        return false;
    unsigned total = 0;
    unsigned lo[319], hi[319];
    for (unsigned k = 0; k < 319; ++k) {
        unsigned w = (b[2 * k] << 8) | b[2 * k + 1];
        total += w;
        unsigned c = k + BD0_MASK_OFFSET;
        unsigned plain = (w - c * c * c) & 0xFFFF;
        lo[k] = plain >> 8;
        hi[k] = plain & 0xFF;
    }
    if (static_cast<unsigned>((b[638] << 8) | b[639]) != (total & 0xFFFF))
        return false;
    unsigned sl = 0, sh = 0;
    for (unsigned k = 0; k < 311; ++k) {
        sl += lo[k];
        sh += hi[k];
    }
    sl &= 0xFF;
    sh &= 0xFF;
    if (lo[311] != ((sl + 10) & 0xFF) || hi[311] != ((sh + 11) & 0xFF))
        return false;
    if (lo[312] != ((sl + 105 + lo[311]) & 0xFF) || hi[312] != ((sh + 19 + hi[311]) & 0xFF))
        return false;
    for (size_t i = 640; i < Firmware::kBd0Size; ++i)
        if (b[i] != kFill)
            return false;
    return true;
}

Firmware::Firmware(const UnitConfig &cfg) : cfg_(cfg), rng_(cfg.seed) {
    if (cfg_.calibrated) {
        record_ = fitted_record(cfg_);
    } else {
        // A fresh unit: nothing but filler, with a valid checksum, which no
        // decoder accepts as a grid.
        record_.fill(kFill);
        record_[0] = 0;
        record_[1] = 0;
        record_[2] = 0;
        seal_record(record_.data());
    }
}

void Firmware::queue_bytes(const uint8_t *p, size_t n, long long t_us) {
    for (size_t i = 0; i < n; ++i)
        out_.emplace_back(t_us, p[i]);
}

void Firmware::reply(const uint8_t *p, size_t n, long long t_us) {
    queue_bytes(p, n, t_us + slow_us_);
}

void Firmware::reply(std::initializer_list<uint8_t> b, long long t_us) {
    reply(b.begin(), b.size(), t_us);
}

void Firmware::add_garbage(size_t n, long long t_us) {
    std::uniform_int_distribution<int> byte(0, 255);
    for (size_t i = 0; i < n; ++i)
        out_.emplace_back(t_us, static_cast<uint8_t>(byte(rng_)));
}

void Firmware::power_off() {
    rx_ = Rx::Idle;
    rxbuf_.clear();
    need_ = 0;
    fill_run_ = 0;
    running_ = false;
    out_.clear();
}

void Firmware::corrupt_record() {
    record_[255] = static_cast<uint8_t>(record_[255] ^ 0x5A);
}

void Firmware::receive(const uint8_t *p, size_t n, long long t_us) {
    for (size_t i = 0; i < n; ++i) {
        uint8_t c = p[i];
        if (rx_ == Rx::Idle) {
            command(c, t_us);
            continue;
        }
        log_.back().payload.push_back(c);
        rxbuf_.push_back(c);
        fill_run_ = c == kFill ? fill_run_ + 1 : 0;
        if (rxbuf_.size() == need_) {
            payload_done(t_us);
        } else if (fill_run_ >= kFillAbort) {
            // The host is filling: whatever this transfer was, it is over. The
            // unit keeps its old data and answers nothing.
            rx_ = Rx::Idle;
            rxbuf_.clear();
        }
    }
}

void Firmware::command(uint8_t c, long long t_us) {
    // A run of fill bytes is one log entry.
    if (c == kFill && !log_.empty() && log_.back().cmd == kFill) {
        log_.back().payload.push_back(c);
        return;
    }
    log_.push_back({t_us, c, {}});
    rxbuf_.clear();
    fill_run_ = 0;
    if (hold_answer_to_ != 0 && c == hold_answer_to_) {
        hold_answer_to_ = 0;
        answer_held_ = true;
    }
    switch (c) {
        case DEV_CMD_RUN:
            running_ = true;
            break;
        case DEV_CMD_HOLD:
            running_ = false;
            break;
        case DEV_CMD_CAM_REG:
            rx_ = Rx::RegWrite;
            need_ = kRegWriteSize;
            break;
        case DEV_CMD_HW_TYPE: {
            uint8_t t = static_cast<uint8_t>(cfg_.hw_type), v = static_cast<uint8_t>(cfg_.hw_ver);
            uint8_t vc = static_cast<uint8_t>(255 - v);
            if (type_fail_) {
                vc = static_cast<uint8_t>(vc ^ 0x01);
                type_fail_ = false;
            }
            reply({t, v, static_cast<uint8_t>(255 - t), vc}, t_us);
            break;
        }
        case DEV_CMD_READ_E4:
            reply(cfg_.params.data(), cfg_.params.size(), t_us);
            break;
        case DEV_CMD_READ_CAL:
            reply(record_.data(), record_.size(), t_us);
            break;
        case DEV_CMD_WRITE_CAL:
            rx_ = Rx::CalRecord;
            need_ = kRecordSize;
            break;
        case DEV_CMD_SAVE_BD0: {
            if (refuse_ & kRefuseBdStart) {
                refuse_ &= ~kRefuseBdStart;
                const uint8_t busy[kBd0ReplySize] = {kBd0Busy};
                reply(busy, sizeof busy, t_us);
                break;
            }
            const uint8_t ready[kBd0ReplySize] = {kBd0Ready};
            reply(ready, sizeof ready, t_us);
            rx_ = Rx::Bd0Block;
            need_ = kBd0Size;
            break;
        }
        case DEV_CMD_BACKGROUND:
            // Background acquisition: what the camera sees now becomes the
            // background, so stray light no longer shows as a spot.
            if (running_) {
                background_taken_ = true;
                stray_light_ = false;
            }
            break;
        default:
            // Fill bytes and unknown bytes are ignored while idle.
            break;
    }
}

void Firmware::payload_done(long long t_us) {
    Rx done = rx_;
    rx_ = Rx::Idle;
    if (done == Rx::RegWrite) {
        regs_[rxbuf_[0]] = static_cast<uint16_t>((rxbuf_[1] << 8) | rxbuf_[2]);
        reply({rxbuf_[0], rxbuf_[1], rxbuf_[2]}, t_us);
    } else if (done == Rx::CalRecord) {
        bool ok = record_sealed(rxbuf_.data()) && !(refuse_ & kRefuseCal);
        refuse_ &= ~kRefuseCal;
        if (ok)
            std::copy(rxbuf_.begin(), rxbuf_.end(), record_.begin());
        reply({ok ? kCalAccepted : kCalRefused}, t_us);
    } else if (done == Rx::Bd0Block) {
        bool ok = bd0_block_valid(rxbuf_.data(), rxbuf_.size()) && !(refuse_ & kRefuseBdEnd);
        refuse_ &= ~kRefuseBdEnd;
        if (ok)
            bd0_ = rxbuf_;
        uint8_t acks[kBd0AckSize];
        std::fill(acks, acks + kBd0AckSize, ok ? kBd0Stored : kBd0Rejected);
        reply(acks, sizeof acks, t_us);
    }
    rxbuf_.clear();
}

void Firmware::frame(const PenSample &pen, long long t_us) {
    if (!running_)
        return;
    const bool stray = stray_light_ && regs_[kSensitivityReg] >= kStrayVisibleFrom;
    bool spot = pen.on || stray;
    if (!spot) {
        out_.emplace_back(t_us, kFrameNoSpot);
        if (frames_sent_.size() < kFrameLogMax)
            frames_sent_.push_back({t_us, false, {}});
        return;
    }
    double u = pen.on ? pen.u : kStrayU, v = pen.on ? pen.v : kStrayV;
    if (u < 0)
        u = 0;
    if (v < 0)
        v = 0;
    unsigned uw = static_cast<unsigned>(std::lround(u * 32)) & 0xFFFF;
    unsigned vw = static_cast<unsigned>(std::lround(v * 16)) & 0xFFFF;
    uw ^= SPOT_MASK_U;
    vw ^= SPOT_MASK_V;
    // Second word pair: spot area and brightness; the state byte says which
    // kind of spot this is (1: pen).
    const uint8_t rec[1 + kSpotRecordSize] = {kFrameSpot,
                                              static_cast<uint8_t>(uw >> 8),
                                              static_cast<uint8_t>(uw),
                                              static_cast<uint8_t>(vw >> 8),
                                              static_cast<uint8_t>(vw),
                                              0x00,
                                              0x0C,
                                              0x00,
                                              0xC8,
                                              0x01,
                                              0x00};
    queue_bytes(rec, sizeof rec, t_us);
    FrameRecord fr{t_us, true, {}};
    std::copy(rec + 1, rec + sizeof rec, fr.record.begin());
    if (frames_sent_.size() < kFrameLogMax)
        frames_sent_.push_back(fr);
}

void Firmware::take_due(long long t_us, std::vector<uint8_t> *out) {
    if (answer_held_)
        return;
    while (!out_.empty() && out_.front().first <= t_us) {
        if (!silent(t_us))
            out->push_back(out_.front().second);
        out_.pop_front();
    }
}

std::array<uint8_t, kCalSize> fitted_record(const UnitConfig &cfg) {
    // The reference points stand where the daemon's model expects them: the
    // nominal 1024 x 768 grid with its margins, seen through the camera.
    const int nx = cfg.ref_nx, ny = cfg.ref_ny, ss = cfg.side_space;
    CameraModel cam(cfg.camera, cfg.seed);
    double ul[49], vl[49];
    double mx = 1024.0 / nx / ss, my = 768.0 / ny / ss;
    for (int r = 0; r < ny; ++r) {
        for (int c = 0; c < nx; ++c) {
            double xs = c * (1024 - 2 * mx) / (nx - 1) + mx;
            double ys = r * (768 - 2 * my) / (ny - 1) + my;
            cam.map(xs * cfg.camera.screen_w / 1024.0, ys * cfg.camera.screen_h / 768.0,
                    &ul[r * nx + c], &vl[r * nx + c]);
        }
    }
    std::array<uint8_t, kCalSize> rec;
    CalcEU(nx, ny, static_cast<unsigned char>(ss), ul, vl, rec.data());
    seal_record(rec.data());
    return rec;
}

}  // namespace inksim
