#pragma once

namespace relayd {

// The name of an SQLite file layer over the system's default one that hands each commit to
// the write-ahead log in one write instead of two per page (a frame header, then the page):
// a batch of messages dirties a few dozen pages, and each write costs a system call on the
// commit's critical path.
//
// The log's writes gather in memory and reach the file, in order, at the end of each commit
// frame, before a sync, a read, a size query, a truncation or a close, and in any case
// before the connection publishes a commit to other connections. A commit is therefore in
// the file exactly when it was without this layer; only the number of system calls differs.
// Registered on first use; thread-safe.
const char* WalWriteBufferVfs();

}  // namespace relayd
