// korbr labels VOLUME: shows the labels and the layout of one disk volume
// file, decoded, and the korbr stream records it holds (the stream header
// at the start of a stripe's first volume, the trailer at the end of its
// last).  Exit 1 for a file that is not a complete volume.
#ifndef KORBR_CLI_LABELS_COMMAND_H_
#define KORBR_CLI_LABELS_COMMAND_H_

namespace kor {
namespace cli {

// argv[0] is "labels".  Returns the exit code.
int RunLabelsCommand(int argc, char **argv);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_LABELS_COMMAND_H_
