#pragma once

#include <cstddef>

namespace brix32 {

class FileOutput;

// Writes all Size bytes to the open file Fd, going on after interruptions and short writes.
// 0 on success, otherwise the errno of the write that failed. The one write loop of every file
// this library writes.
int WriteAll(int Fd, const char* Data, std::size_t Size);
int WriteAll(int Fd, const char* Data, std::size_t Size, FileOutput& Output);

}  // namespace brix32
