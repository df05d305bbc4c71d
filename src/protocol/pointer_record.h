// The pointer record: what the daemon writes to the pointer pipe for the
// pointer consumer, 4 bytes, each record the whole pointer state.
//
//   byte 0  buttons: kPointerButtonsBase, plus kPointerButtonLeft while the
//           left button is down and kPointerButtonRight while the right one is
//   byte 1  bits 8-11 of x (high nibble) and of y (low nibble)
//   byte 2  x bits 0-7
//   byte 3  y bits 0-7
//
// x and y are screen pixels, 12 bits each. Records at (0, 0) carry no
// position: the right-click sequence and the closing record (0, 0, no button)
// are written there.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int kPointerRecordSize = 4;
inline constexpr int kMotionMax = 4095;  // 12 bits per coordinate

inline constexpr std::uint8_t kPointerButtonsBase = 0xF0;
inline constexpr std::uint8_t kPointerButtonLeft = 0x04;
inline constexpr std::uint8_t kPointerButtonRight = 0x01;

struct PointerRecord {
    int x = 0;
    int y = 0;
    bool left = false;
    bool right = false;
    // The position fields hold a position (not the (0, 0) of a button-only record).
    bool has_position() const { return x != 0 || y != 0; }
};

// Encodes one record. Coordinates above kMotionMax are clamped to it so that
// they never spill into the other coordinate's nibble; negative ones are the
// writer's to refuse.
inline void pointer_record_encode(int x, int y, bool left, bool right,
                                  std::uint8_t out[kPointerRecordSize]) {
    std::uint8_t buttons = kPointerButtonsBase;
    if (left)
        buttons |= kPointerButtonLeft;
    if (right)
        buttons |= kPointerButtonRight;
    if (x > kMotionMax)
        x = kMotionMax;
    if (y > kMotionMax)
        y = kMotionMax;
    out[0] = buttons;
    out[1] = static_cast<std::uint8_t>(((x / 256) << 4) | (y / 256));
    out[2] = static_cast<std::uint8_t>(x % 256);
    out[3] = static_cast<std::uint8_t>(y % 256);
}

// Decodes one record. Returns 0, or -1 when byte 0 is not a button byte (high
// nibble not that of kPointerButtonsBase, or a bit set that is no button's):
// the stream is out of step, and the reader drops one byte and looks for a
// record at the next.
inline int pointer_record_decode(const std::uint8_t in[kPointerRecordSize], PointerRecord *out) {
    constexpr std::uint8_t kButtons = kPointerButtonLeft | kPointerButtonRight;
    if ((in[0] & 0xF0) != kPointerButtonsBase || (in[0] & 0x0F & ~kButtons) != 0)
        return -1;
    out->left = (in[0] & kPointerButtonLeft) != 0;
    out->right = (in[0] & kPointerButtonRight) != 0;
    out->x = ((in[1] >> 4) << 8) | in[2];
    out->y = ((in[1] & 0x0F) << 8) | in[3];
    return 0;
}

// Reads records out of a byte stream that may arrive in any pieces. Bytes in
// hand that do not decode are out of step: the first of them is dropped and a
// record is looked for at the next.
class PointerRecordReader {
  public:
    // Takes n bytes; calls on_record(const std::uint8_t *bytes, const
    // PointerRecord &) for every record and on_skip(std::uint8_t) for every
    // byte dropped.
    template <typename OnRecord, typename OnSkip>
    void feed(const std::uint8_t *data, std::size_t n, OnRecord &&on_record, OnSkip &&on_skip) {
        for (std::size_t i = 0; i < n; ++i) {
            buf_[fill_++] = data[i];
            if (fill_ < kPointerRecordSize)
                continue;
            PointerRecord r;
            if (pointer_record_decode(buf_, &r) == 0) {
                fill_ = 0;
                on_record(static_cast<const std::uint8_t *>(buf_), r);
                continue;
            }
            on_skip(buf_[0]);
            for (int k = 1; k < kPointerRecordSize; ++k)
                buf_[k - 1] = buf_[k];
            fill_ = kPointerRecordSize - 1;
        }
    }
    // Bytes in hand that are not yet a record.
    int pending() const { return fill_; }

  private:
    std::uint8_t buf_[kPointerRecordSize] = {};
    int fill_ = 0;
};
