// Volume label records: fixed-width ASCII in the layout of the ANSI tape
// labels.  Encoding and decoding are pure (bytes in, fields out).
//
//   VOL1 (80)   0 "VOL1" | 4 serial: 2 digits stripe, 4 digits volume |
//               10..78 blanks | 79 "4"
//   HDR1 (68), EOV1/EOF1 (80): first-label layout
//               0 id | 4 17 blanks | 21 6 blanks | 27 "0000" | 31 "0000" |
//               35 "0000" | 39 "00" | 41 "000000" | 47 "000000" | 53 "0" |
//               54 "000000" | 60.. blanks (HDR1 ends at 68, others at 80)
//   HDR2, EOV2, EOF2 (80): second-label layout
//               0 id | 4 "F" | 5 "00000" | 10 "00000" | 15 35 blanks |
//               50 "00" | 52 28 blanks
//
// On every volume: VOL1, HDR1, HDR2 as three transfers, the data, then
// EOV1+EOV2 (the backup goes on on the next volume) or EOF1+EOF2 (the
// backup ends) as one 160-byte transfer.
#ifndef KORBR_LABEL_LABEL_FORMAT_H_
#define KORBR_LABEL_LABEL_FORMAT_H_

#include <cstdint>

namespace kor {

constexpr int32_t kLabelSize = 80;
constexpr int32_t kHdr1Size = 68;
constexpr int32_t kTrailerSize = 160;  // first and second label together

// Each builder fills `area` (at least the label's length) and returns it.
char *BuildVol1Label(char *area, int32_t stripe, int32_t volume);
char *BuildHdr1Label(char *area);  // 68 bytes
char *BuildHdr2Label(char *area);
char *BuildEov1Label(char *area);
char *BuildEov2Label(char *area);
char *BuildEof1Label(char *area);
char *BuildEof2Label(char *area);
// The 160-byte trailer units: EOV1+EOV2 and EOF1+EOF2.
char *BuildEovRecord(char *area);
char *BuildEofRecord(char *area);

// Reads the serial of an 80-byte VOL1 record: offsets 4-5 and 6-9 each
// converted as decimal text (blanks give 0).  Never fails.
void ParseVolumeSerial(const char *vol1, int32_t *stripe, int32_t *volume);

// True when `data` (of `length` bytes) holds "EOV1" at offset 0 and "EOV2"
// at offset 80: the end-of-volume record.  Needs at least 84 bytes.
bool IsEovRecord(const void *data, int64_t length);

// True when `data` holds "EOF1" at offset 0 and "EOF2" at offset 80: the
// trailer that ends the last volume of a backup.
bool IsEofRecord(const void *data, int64_t length);

// True when the `length` bytes of `data` (fewer than 84) agree with the
// beginning of a trailer record (end of volume or end of backup), so more
// bytes are needed to tell.
bool CouldBeginTrailer(const void *data, int64_t length);

}  // namespace kor

#endif  // KORBR_LABEL_LABEL_FORMAT_H_
