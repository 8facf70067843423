// The piece writer on a real file: whatever the piece sizes, the file holds
// the pieces in order, every owner comes back exactly once and in order,
// and in aligned mode every write but the last ends on a page boundary.
#include "cli/pipeline/piece_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace kor {
namespace cli {
namespace {

std::vector<size_t> Sizes(const std::string &shape) {
  std::vector<size_t> sizes;
  std::mt19937 random(3);
  for (int i = 0; i < 60; ++i) {
    if (shape == "frames") sizes.push_back(65488);
    if (shape == "small frames") sizes.push_back(4048);
    if (shape == "tiny") sizes.push_back(1 + random() % 700);
    if (shape == "mixed")
      sizes.push_back(random() % 3 == 0 ? 0 : random() % 200000);
  }
  return sizes;
}

TEST(PieceWriterTest, WritesEveryShapeInOrderAndGivesEveryPieceBack) {
  for (bool aligned : {true, false}) {
    for (const std::string shape :
         {"frames", "small frames", "tiny", "mixed"}) {
      SCOPED_TRACE(shape + (aligned ? ", aligned" : ", direct"));
      FILE *file = std::tmpfile();
      ASSERT_NE(file, nullptr);
      const int fd = fileno(file);
      const std::vector<size_t> sizes = Sizes(shape);
      std::vector<std::vector<uint8_t>> pieces;
      std::string expected;
      uint8_t next = 0;
      for (size_t size : sizes) {
        pieces.emplace_back(size);
        for (uint8_t &b : pieces.back()) b = next++;
        expected.append(pieces.back().begin(), pieces.back().end());
      }
      PieceWriter writer(fd, aligned);
      std::vector<void *> done;
      uint64_t added = 0, before = 0;
      for (auto &p : pieces) {
        Piece piece;
        piece.data = p.data();
        piece.length = p.size();
        piece.owner = &p;
        ASSERT_TRUE(writer.Add(piece, &done));
        added += p.size();
        // A write that leaves bytes held back ends on a page boundary.
        if (!aligned) {
          EXPECT_EQ(writer.bytes_written(), added);
        } else if (writer.bytes_written() != before &&
                   writer.bytes_written() != added) {
          EXPECT_EQ(writer.bytes_written() % PieceWriter::kPage, 0u);
        }
        // Frame-sized pieces leave only sub-page tails behind.
        if (aligned && shape == "frames") {
          EXPECT_EQ(writer.bytes_written(), added - added % PieceWriter::kPage);
        }
        before = writer.bytes_written();
      }
      ASSERT_TRUE(writer.Flush(&done));
      ASSERT_EQ(done.size(), pieces.size());
      for (size_t i = 0; i < pieces.size(); ++i) {
        EXPECT_EQ(done[i], &pieces[i]);
      }
      std::string actual(expected.size() + 1, '\0');
      const ssize_t got = pread(fd, &actual[0], actual.size(), 0);
      ASSERT_EQ(got, static_cast<ssize_t>(expected.size()));
      actual.resize(expected.size());
      EXPECT_TRUE(actual == expected);
      std::fclose(file);
    }
  }
}

TEST(PieceWriterTest, AWriteErrorIsReportedAndHeldPiecesCanBeReclaimed) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  close(pipe_fds[1]);  // writing to the read end fails
  std::vector<uint8_t> data(10000);
  PieceWriter writer(pipe_fds[0], true);
  std::vector<void *> done;
  Piece piece;
  piece.data = data.data();
  piece.length = data.size();
  piece.owner = &data;
  EXPECT_FALSE(writer.Add(piece, &done));
  std::vector<void *> pending;
  writer.TakePending(&pending);
  EXPECT_EQ(done.size() + pending.size(), 1u);
  close(pipe_fds[0]);
}

}  // namespace
}  // namespace cli
}  // namespace kor
