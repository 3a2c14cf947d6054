// Writes a file's bytes to a path the way a plain "wb" write would, except
// that a failed write never destroys what was there or leaves a partial file
// behind, and neither does a killed process where the file system offers
// unnamed files (ext4, xfs, btrfs, tmpfs and most others).
//
// A regular file, new or existing (also when reached through symbolic links,
// which stay in place), is written as an unnamed file in the target's
// directory (O_TMPFILE) that gets a name only once it is complete: a new file
// is linked in under its own name, an existing one is replaced by linking the
// new file under a temporary name and renaming it over the old. A process
// killed at any point before that leaves no file at all; only a kill in the
// instant between link and rename can leave a ".tonvik-<hex>.tmp" beside the
// target. Where the file system has no unnamed files, a named temporary file
// takes their place, removed on every failure but not after a kill.
//
// A replaced file keeps its owner (as far as the caller may give it away) and
// its permission bits, less setuid and setgid, which the kernel also drops on
// a plain write. Permission is that of a plain write: a file that the caller
// may not write is not replaced.
//
// What a crash or power cut leaves: a replaced file is synced before the
// rename, so the path holds the old contents or the complete new ones. A new
// file is not synced, as with a plain write: after a power cut it may be
// missing or incomplete. With unnamed files, a crash or kill of the process
// alone never leaves a partial file: nothing has a name before it is complete.
//
// A path that is not a regular file once links are followed the way open(2)
// follows them, the /proc/self/fd links included (a pipe, a terminal, a
// socket, a character device such as /dev/null or /dev/stdout), is written in
// place, as a plain write does. So is a /proc/self/fd link to a regular file
// that no longer has a name of its own. Such a target is opened only after
// `ready_for_in_place` (when given) says the writer will not fail half-way.
//
// What goes into the file is the caller's: a writer fills the sink it is
// given, in order, and says whether it could. A writer that fails leaves the
// path as a failed plain write would, never a partial regular file. The
// writer may run twice (a file system that makes an unnamed file but cannot
// link it in: the named file takes over) and must give the same bytes again.
//
//   const auto fill = [&](codec::byte_sink& sink) { return sink.put(bytes, size); };
//   if (!write_output_file("graded.jpg", fill)) return status::output_not_written;
#pragma once

#include <functional>
#include <string>

#include "byte_sink.hpp"

namespace tonvik::bridge {

// Puts the whole file into `sink`; false when it could not.
using file_writer = std::function<bool(codec::byte_sink& sink)>;
// Called before a target written in place is opened, where a writer that
// fails half-way could not be undone: false leaves that target untouched.
using in_place_check = std::function<bool()>;

// True only when the complete file is in place at `output_path`.
bool write_output_file(const std::string& output_path, const file_writer& write,
                       const in_place_check& ready_for_in_place = {});

namespace detail {

// How the file is made before it gets its name. The tests use `named` to
// exercise the path taken on file systems without unnamed files.
enum class temp_kind { unnamed_first, named };

bool write_output_file(const std::string& output_path, const file_writer& write, temp_kind kind,
                       const in_place_check& ready_for_in_place = {});

}  // namespace detail

}  // namespace tonvik::bridge
