// The message numbers the library sends a host, and how many text
// arguments each carries at most: the one list the library raises them
// by, korbr words them by and every test host reads them by.
//
// A host reads a message's arguments up to its count and stops at the
// first null slot (6920 and 6932 also come with fewer).  The library
// leaves every slot past the last argument null.
//
// Header only and including nothing of ours, so that the library's lowest
// layer, korbr and tests that see only the public header can all use it.
#ifndef KORBR_RULES_MESSAGE_NUMBERS_H_
#define KORBR_RULES_MESSAGE_NUMBERS_H_

#include <cstdint>

namespace kor {

// Errors.
constexpr int32_t kErrBadDeviceString = 6918;
constexpr int32_t kErrVolume = 6920;  // also an operator message
constexpr int32_t kErrClose = 6921;
constexpr int32_t kErrOpenMode = 6923;
constexpr int32_t kErrBlockSizeRange = 6925;
constexpr int32_t kErrDriveParams = 6926;
constexpr int32_t kErrMediaParams = 6927;
constexpr int32_t kErrSetBlockSize = 6928;
constexpr int32_t kErrFreeSpace = 6929;
constexpr int32_t kErrCloseMode = 6930;
constexpr int32_t kErrTapemark = 6931;
constexpr int32_t kErrInterrupted = 6932;
constexpr int32_t kErrWrite = 6934;
constexpr int32_t kErrRead = 6935;
constexpr int32_t kErrNoMoreVolumes = 6936;
constexpr int32_t kErrDiskFull = 6937;
constexpr int32_t kErrStackerEmpty = 6939;
constexpr int32_t kErrPrefixIsDirectory = 6944;
// Operator messages.
constexpr int32_t kMsgMountVolume = 9234;
constexpr int32_t kMsgBackupVolume = 9235;
constexpr int32_t kMsgRestoreVolume = 9236;
constexpr int32_t kMsgSmallCapacity = 9237;

struct MessageShape {
  int32_t number;
  int arguments;  // text arguments at most
};

// Every number above, once.
inline constexpr MessageShape kMessageCatalog[] = {
    {kErrBadDeviceString, 0},  {kErrVolume, 2},         {kErrClose, 2},
    {kErrOpenMode, 0},         {kErrBlockSizeRange, 1}, {kErrDriveParams, 2},
    {kErrMediaParams, 2},      {kErrSetBlockSize, 2},   {kErrFreeSpace, 2},
    {kErrCloseMode, 0},        {kErrTapemark, 2},       {kErrInterrupted, 2},
    {kErrWrite, 2},            {kErrRead, 2},           {kErrNoMoreVolumes, 1},
    {kErrDiskFull, 1},         {kErrStackerEmpty, 1},   {kErrPrefixIsDirectory, 1},
    {kMsgMountVolume, 2},      {kMsgBackupVolume, 2},   {kMsgRestoreVolume, 2},
    {kMsgSmallCapacity, 1},
};

// The text arguments `number` carries at most; -1 when the library has no
// such message.
inline int LibraryMessageArguments(int32_t number) {
  for (const MessageShape &shape : kMessageCatalog)
    if (shape.number == number) return shape.arguments;
  return -1;
}

}  // namespace kor

#endif  // KORBR_RULES_MESSAGE_NUMBERS_H_
