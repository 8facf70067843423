// Decoding of the label records that frame every disk volume file, for
// 'korbr labels'.  The host reads them from the documented layout (it does
// not reach into the library):
//
//   offset 0    VOL1, 80 bytes: "VOL1", the volume serial at 4..9 (2 digits
//               stripe, 4 digits volume), blanks, "4" at 79
//   offset 80   HDR1, 68 bytes: "HDR1", file identifier (4, 17), file-set
//               identifier (21, 6), file section (27, 4), file sequence
//               (31, 4), generation (35, 4), generation version (39, 2),
//               creation date (41, 6), expiration date (47, 6),
//               accessibility (53, 1), block count (54, 6), blanks
//   offset 148  HDR2, 80 bytes: "HDR2", record format (4, 1), block length
//               (5, 5), record length (10, 5), blanks, buffer-offset length
//               (50, 2), blanks
//   offset 228  the data
//   last 160    EOV1+EOV2 (the backup goes on on the next volume) or
//               EOF1+EOF2 (the last volume of the stripe)
#ifndef KORBR_CLI_LABEL_DECODE_H_
#define KORBR_CLI_LABEL_DECODE_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace kor {
namespace cli {

constexpr size_t kVolumeHeadSize = 228;  // VOL1 + HDR1 + HDR2
constexpr size_t kVolumeTailSize = 160;  // EOV1+EOV2 or EOF1+EOF2

struct VolumeLabels {
  // VOL1
  std::string serial;  // the six serial characters
  int stripe = 0;
  int volume = 0;
  char label_standard = ' ';
  // HDR1
  std::string hdr1_file_id, hdr1_file_set_id, file_section, file_sequence,
      generation, generation_version, creation_date, expiration_date,
      accessibility, block_count;
  // HDR2
  char record_format = ' ';
  std::string block_length, record_length, buffer_offset_length;
  // Trailer
  bool end_of_volume = false;  // EOV1+EOV2: more volumes follow
  // Sizes
  uint64_t file_size = 0;
  uint64_t data_bytes = 0;  // file size less head and tail
};

// Decodes the head (the first 228 bytes) of a volume file.  False when it
// is not a volume: wrong identifiers, a serial that is not six digits,
// characters that are not printable ASCII.
bool DecodeVolumeHead(const uint8_t *head, size_t size, VolumeLabels *labels,
                      std::string *why);

// Decodes the tail (the last 160 bytes).  False when they are not EOV1+EOV2
// or EOF1+EOF2 (a volume cut short, or not a volume).
bool DecodeVolumeTail(const uint8_t *tail, size_t size, VolumeLabels *labels,
                      std::string *why);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_LABEL_DECODE_H_
