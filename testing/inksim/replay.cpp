#include "inksim/replay.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <sstream>

#include "ink_paths.h"
#include "ink_time.h"

namespace inksim {

namespace {

constexpr size_t kSpotBytes = kSpotRecordSize;

enum class Reply { Type, Params, Record, Other };

struct Expect {
    size_t n;
    Reply kind;
};

// Follows the daemon's commands to tell the unit's replies from its frames.
class Reader {
  public:
    explicit Reader(SessionRecord *out) : out_(out) {}

    void host(const std::vector<uint8_t> &b) {
        for (uint8_t c : b) {
            if (skip_ > 0) {
                if (--skip_ == 0 && after_.n > 0) {
                    expect_.push_back(after_);
                    after_ = {};
                }
                continue;
            }
            switch (c) {
                case DEV_CMD_HW_TYPE:
                    expect_.push_back({kHwTypeSize, Reply::Type});
                    break;
                case DEV_CMD_READ_E4:
                    expect_.push_back({kE4Size, Reply::Params});
                    break;
                case DEV_CMD_READ_CAL:
                    expect_.push_back({kCalSize, Reply::Record});
                    break;
                case DEV_CMD_CAM_REG:  // register, value: echoed
                    skip_ = kRegWriteSize;
                    after_ = {kRegWriteSize, Reply::Other};
                    break;
                case DEV_CMD_WRITE_CAL:  // record, then one acknowledgement
                    skip_ = kCalSize;
                    after_ = {1, Reply::Other};
                    break;
                case DEV_CMD_SAVE_BD0:  // ready answer, the block, then the acknowledgements
                    expect_.push_back({kBd0ReplySize, Reply::Other});
                    skip_ = kBd0Size;
                    after_ = {kBd0AckSize, Reply::Other};
                    break;
                default:  // r, p, B, fill: no reply
                    break;
            }
        }
    }

    void unit(long long t_us, const std::vector<uint8_t> &b) {
        for (uint8_t c : b) {
            if (frame_fill_ > 0) {
                frame_.record[kSpotBytes - frame_fill_] = c;
                if (--frame_fill_ == 0)
                    out_->frames.push_back(frame_);
                continue;
            }
            if (!expect_.empty()) {
                reply_.push_back(c);
                if (reply_.size() == expect_.front().n) {
                    take_reply(expect_.front().kind);
                    reply_.clear();
                    expect_.pop_front();
                }
                continue;
            }
            if (c == kFrameNoSpot) {
                out_->frames.push_back({t_us, false, {}});
            } else if (c == kFrameSpot) {
                frame_ = {t_us, true, {}};
                frame_fill_ = kSpotBytes;
            } else {
                ++out_->garbage;
            }
        }
    }

  private:
    // The unit as the session found it: a later connection's answers (after
    // a calibration wrote a new record, say) do not replace the first ones.
    void take_reply(Reply kind) {
        if (kind == Reply::Type && !out_->have_type) {
            out_->have_type = true;
            out_->hw_type = reply_[0];
            out_->hw_ver = reply_[1];
        } else if (kind == Reply::Params && !out_->have_params) {
            out_->have_params = true;
            std::copy(reply_.begin(), reply_.end(), out_->params.begin());
        } else if (kind == Reply::Record && !out_->have_record) {
            out_->have_record = true;
            std::copy(reply_.begin(), reply_.end(), out_->record.begin());
        }
    }

    SessionRecord *out_;
    std::deque<Expect> expect_;
    std::vector<uint8_t> reply_;
    size_t skip_ = 0;
    Expect after_{};
    FrameRecord frame_{};
    size_t frame_fill_ = 0;
};

bool parse_bytes(std::istringstream &in, std::vector<uint8_t> *out) {
    std::string tok;
    while (in >> tok) {
        if (tok.size() != 2 || !std::isxdigit(static_cast<unsigned char>(tok[0])) ||
            !std::isxdigit(static_cast<unsigned char>(tok[1])))
            return false;
        out->push_back(static_cast<uint8_t>(std::strtoul(tok.c_str(), nullptr, 16)));
    }
    return true;
}

// The unit's frame rate: the frames over the time they took while the unit
// streamed (a gap of a second or more is a pause: the unit on hold, a
// reconnect). The times are when the relay passed the bytes on, which a
// loaded machine bunches up (a stall, then several frames at once): the
// spacing of single frames then says little, their number over the time
// holds.
int frame_rate(const std::vector<FrameRecord> &frames) {
    long long span = 0, gaps = 0;
    for (size_t i = 1; i < frames.size(); ++i) {
        long long d = frames[i].t_us - frames[i - 1].t_us;
        if (d >= 0 && d < 1000000) {
            span += d;
            ++gaps;
        }
    }
    if (span <= 0)
        return 100;
    long long rate = (gaps * 1000000 + span / 2) / span;
    return static_cast<int>(std::clamp(rate, 1LL, 1000LL));
}

}  // namespace

bool parse_session_record(const std::string &text, SessionRecord *out, std::string *err) {
    *out = SessionRecord();
    Reader reader(out);
    std::istringstream lines(text);
    std::string line;
    int no = 0;
    auto fail = [&](const std::string &why) {
        *err = "line " + std::to_string(no) + ": " + why;
        return false;
    };
    while (std::getline(lines, line)) {
        ++no;
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream in(line);
        std::string tag;
        long long t = 0;
        if (!(in >> tag >> t) || tag.size() != 1)
            return fail("expected a tag and a time");
        std::vector<uint8_t> bytes;
        if (!parse_bytes(in, &bytes))
            return fail("bytes must be two hexadecimal digits each");
        switch (tag[0]) {
            case 'S':
                ++out->connections;
                reader = Reader(out);  // a new connection starts in step
                break;
            case 'H':
                reader.host(bytes);
                break;
            case 'D':
                reader.unit(t, bytes);
                break;
            case 'E':
                if (bytes.size() != 1)
                    return fail("an event is one byte");
                out->events.push_back({out->frames.size(), bytes[0]});
                break;
            default:
                return fail("unknown tag " + tag);
        }
    }
    if (out->connections == 0 && out->frames.empty())
        return fail("no session in the file");
    out->rate = frame_rate(out->frames);
    return true;
}

bool load_session_record(const std::string &path, SessionRecord *out, std::string *err) {
    std::ifstream f(path);
    if (!f) {
        *err = "cannot read " + path;
        return false;
    }
    std::stringstream ss;
    ss << f.rdbuf();
    return parse_session_record(ss.str(), out, err);
}

namespace {
UnitConfig unit_of(const SessionRecord &rec) {
    UnitConfig u;
    u.rate = rec.rate;
    if (rec.have_type) {
        u.hw_type = rec.hw_type;
        u.hw_ver = rec.hw_ver;
    }
    if (rec.have_params)
        u.params = rec.params;
    return u;
}
}  // namespace

ReplayUnit::ReplayUnit(const SessionRecord &rec) : UnitHost(unit_of(rec), rec.rate), rec_(rec) {
    if (rec_.have_record)
        fw_.set_record(rec_.record.data());
}

ReplayUnit::~ReplayUnit() {
    stop();
}

bool ReplayUnit::finished() {
    std::lock_guard<std::mutex> l(mu_);
    return next_ >= rec_.frames.size();
}

std::vector<FrameRecord> ReplayUnit::frames_sent() {
    std::lock_guard<std::mutex> l(mu_);
    return sent_;
}

// A recorded frame, byte for byte; after the last one, frames without a spot.
void ReplayUnit::on_frame(long long now) {
    FrameRecord f{now, false, {}};
    if (next_ < rec_.frames.size()) {
        f.spot = rec_.frames[next_].spot;
        f.record = rec_.frames[next_].record;
        ++next_;
    }
    uint8_t bytes[1 + kSpotBytes] = {f.spot ? kFrameSpot : kFrameNoSpot};
    std::copy(f.record.begin(), f.record.end(), bytes + 1);
    fw_.queue_bytes(bytes, f.spot ? sizeof bytes : 1, now);
    sent_.push_back(f);
}

}  // namespace inksim
