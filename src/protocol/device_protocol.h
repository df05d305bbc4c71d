/* The device protocol: what the daemon and the camera unit say to each other
 * over the relay link, an unframed byte stream in both directions.
 *
 * The daemon sends one-letter commands, some with a payload; the unit answers
 * some of them with a reply of fixed size:
 *
 *   command             daemon sends next          unit answers
 *   DEV_CMD_RUN         -                          frames, until held
 *   DEV_CMD_HOLD        -                          (frames stop)
 *   DEV_CMD_CAM_REG     register (CamReg, or one   the same kRegWriteSize bytes
 *                       of the table file), value
 *                       high, value low
 *   DEV_CMD_HW_TYPE     -                          type, version, 255 - type,
 *                                                  255 - version (kHwTypeSize)
 *   DEV_CMD_READ_E4     -                          parameter block (kE4Size)
 *   DEV_CMD_READ_CAL    -                          calibration record (kCalSize)
 *   DEV_CMD_WRITE_CAL   calibration record         kCalAccepted or kCalRefused
 *                                                  (kCalAnswerSize)
 *   DEV_CMD_SAVE_BD0    -                          kBd0Ready or kBd0Busy, then two
 *                                                  more bytes (kBd0ReplySize)
 *                       background block (kBd0Size)  kBd0AckSize times kBd0Stored
 *                                                  or kBd0Rejected
 *   DEV_CMD_FILL        -                          nothing
 *   DEV_CMD_BACKGROUND  -                          nothing
 *
 * A running unit streams one frame per camera frame: kFrameNoSpot alone, or
 * kFrameSpot and a spot record of kSpotRecordSize bytes; light detection takes
 * the first kLightProbeSize bytes of the stream as they come. kFillSize fill bytes
 * in a row end any transfer the unit is stuck in. The last byte of a
 * calibration record is its checksum: the sum of the others plus kCalSumSeed,
 * modulo 256.
 *
 * The block sizes are macros too, for the coordinate core, which compiles as C.
 */
#ifndef INK_DEVICE_PROTOCOL_H
#define INK_DEVICE_PROTOCOL_H

#define INK_DEV_SPOT_RECORD_SIZE 10 /* after its kFrameSpot marker */
#define INK_DEV_CAL_SIZE 256        /* calibration record */
#define INK_DEV_BD0_SIZE 646        /* background block */

#ifdef __cplusplus

// Command bytes.
enum DevCmd : unsigned char {
    DEV_CMD_RUN = 'r',
    DEV_CMD_HOLD = 'p',
    DEV_CMD_CAM_REG = 'c',
    DEV_CMD_HW_TYPE = 'T',
    DEV_CMD_READ_E4 = 'e',
    DEV_CMD_READ_CAL = 'd',
    DEV_CMD_WRITE_CAL = 'v',
    DEV_CMD_SAVE_BD0 = 'g',
    DEV_CMD_FILL = 'o',
    DEV_CMD_BACKGROUND = 'B',
};

// Camera sensor registers the daemon writes by number; the register table
// file names three more (the third of them the sensitivity register, 0x35 in
// the shipped file).
enum CamReg : unsigned char {
    CAM_REG_ROW_START = 0x01,      // first row of the camera window (corrected)
    CAM_REG_COL_START = 0x02,      // first column of the camera window (corrected)
    CAM_REG_WINDOW_HEIGHT = 0x03,  // height of the camera window
    CAM_REG_CLEARED = 0x06,        // set to 0 by every preset
    CAM_REG_ROW_MODE = 0x22,       // row mode
    CAM_REG_GAIN = 0x35,           // gain (corrected)
};

// Frame stream markers of a running unit.
inline constexpr unsigned char kFrameNoSpot = 0xFF;
inline constexpr unsigned char kFrameSpot = 0xFE;
inline constexpr int kSpotRecordSize = INK_DEV_SPOT_RECORD_SIZE;

// Acknowledgements. The daemon takes any value but the first of each pair as
// a refusal; the second is what the unit sends for one.
inline constexpr unsigned char kCalAccepted = '3';
inline constexpr unsigned char kCalRefused = 'E';
inline constexpr unsigned char kBd0Ready = 0xBB;
inline constexpr unsigned char kBd0Busy = 0xBA;
inline constexpr unsigned char kBd0Stored = 0x11;
inline constexpr unsigned char kBd0Rejected = 0x22;

// Block sizes.
inline constexpr int kRegWriteSize = 3;
inline constexpr int kHwTypeSize = 4;
inline constexpr int kE4Size = 64;
inline constexpr int kCalSize = INK_DEV_CAL_SIZE;
inline constexpr int kCalAnswerSize = 1;
inline constexpr int kBd0ReplySize = 3;
inline constexpr int kBd0Size = INK_DEV_BD0_SIZE;
inline constexpr int kBd0AckSize = 4;
inline constexpr int kBd0BufferSize = 1000;  // what the daemon holds a block in
inline constexpr int kFillSize = 600;
inline constexpr int kLightProbeSize = 50;
static_assert(kBd0BufferSize >= kBd0Size, "a background block must fit the daemon's buffer");

inline constexpr int kCalSumSeed = 99;  // the code of 'c'

#endif /* __cplusplus */

#endif /* INK_DEVICE_PROTOCOL_H */
