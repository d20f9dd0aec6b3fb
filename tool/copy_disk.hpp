// The copy engine: bytes from a file read by position to an output stream,
// run of data by run of data, holes left holes where the destination
// already reads as zeros there.
#pragma once

#include <cstdint>

#include "platform/system.hpp"
#include "tool/output_stream.hpp"
#include "tool/progress.hpp"

namespace blankimg {

// Copies length bytes of source from offset from to dest at to. With
// holes_stay, only the source's runs of data are copied: the destination
// must read as zeros where its holes land. Otherwise every byte is written,
// in order, as a pipe takes them. In the kernel where it can, through the
// second half of the I/O buffer otherwise. False at the first failure, or
// where the source ends first.
[[nodiscard]] bool copy_bytes(const platform::image_source &source, std::uint64_t from,
                              output_stream &dest, std::uint64_t to, std::uint64_t length,
                              bool holes_stay, progress_meter &progress);

}  // namespace blankimg
