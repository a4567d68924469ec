// Reading and writing whole contents through a descriptor, the way every
// file of this program is read or written whole: retried on EINTR, checked,
// and with no copy of a secret left in a buffer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The content of the file open on fd, from its start (pread: the
// descriptor's offset stays) to its end, or its first `limit` bytes. 0, or
// kErrOpen when a read fails (*text is then emptied).
int readFromStart(int fd, std::string* text, std::size_t limit = std::string::npos);

// write(2) until the whole content is out, retried on EINTR. 0, or -1.
// *written (when given) tells how far it got.
int writeAll(int fd, std::string_view content, std::size_t* written = nullptr);

// Makes a rename or an unlink in the directory that holds path durable (as
// far as the file system allows).
void syncParentDirectory(const std::string& path);
