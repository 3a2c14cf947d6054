# Writes the loader's header: the pinned stb_image.h with the patch series of
# third_party/stb/patches applied, in the order of its `series` file.
#
# The series is applied here, in CMake, and not by `patch` or `git apply`: a
# build from the source archive then needs nothing beyond CMake and the
# compiler (minimal images lack `patch`, and an archive is no git checkout),
# and the archive carries the patches exactly as the repository does, with no
# generated header to keep in step with them.
#
# The patches are unified diffs of stb_image.h, applied with zero fuzz: every
# context and removed line of a hunk must match exactly. A hunk goes where its
# line number says, or to the nearest place where it matches, after the
# patch's previous hunk (as `patch` moves a hunk by an offset). Every patch
# that does not apply is reported, then the configure stops: a new header
# release must be looked at by a person, never patched half-way. A patch that
# fails is left out and the rest are still tried, so one run names them all
# (a patch built on a failed one may then fail too).
#
#   tonvik_apply_stb_patches(<original header> <patch directory> <patched header>)
#
# Run as a script, it checks the pinned files and writes the patched header
# where a person can read it (`make stb-patched`):
#
#   cmake -DSTB_DIR=<third_party/stb> -DOUTPUT=<file> -P stb_patch_series.cmake

# Lines become list elements, so the characters that a CMake list treats
# specially (separators, escapes, brackets) are swapped for control
# characters, which neither the header nor a patch contains, and back.
string(ASCII 1 _tonvik_semicolon)
string(ASCII 2 _tonvik_backslash)
string(ASCII 3 _tonvik_open_bracket)
string(ASCII 4 _tonvik_close_bracket)

macro(_tonvik_list_safe var)
  string(REPLACE "\\" "${_tonvik_backslash}" ${var} "${${var}}")
  string(REPLACE ";" "${_tonvik_semicolon}" ${var} "${${var}}")
  string(REPLACE "[" "${_tonvik_open_bracket}" ${var} "${${var}}")
  string(REPLACE "]" "${_tonvik_close_bracket}" ${var} "${${var}}")
endmacro()

macro(_tonvik_list_unsafe var)
  string(REPLACE "${_tonvik_backslash}" "\\" ${var} "${${var}}")
  string(REPLACE "${_tonvik_semicolon}" ";" ${var} "${${var}}")
  string(REPLACE "${_tonvik_open_bracket}" "[" ${var} "${${var}}")
  string(REPLACE "${_tonvik_close_bracket}" "]" ${var} "${${var}}")
endmacro()

# The line (from 1) at which character `at` of `text` stands.
function(_tonvik_line_at text at out)
  string(SUBSTRING "${text}" 0 ${at} before)
  string(LENGTH "${before}" with_newlines)
  string(REPLACE "\n" "" before "${before}")
  string(LENGTH "${before}" without)
  math(EXPR line "${with_newlines} - ${without} + 1")
  set(${out} ${line} PARENT_SCOPE)
endfunction()

# Replaces `old` by `new` in `content_var` where `old` starts a line at or
# after character `from`, choosing the place nearest to line `expected`.
# Sets `at_var` to the character just past the replacement and `line_var` to
# the line where `old` was found, or both to -1 when it is not there.
function(_tonvik_apply_hunk content_var from expected old new at_var line_var)
  set(content "${${content_var}}")
  # A newline in front of both: a match of "\n${old}" starts a line.
  string(SUBSTRING "\n${content}" ${from} -1 rest)
  set(offset ${from})
  set(best -1)
  set(best_line -1)
  set(best_distance -1)
  string(FIND "${rest}" "\n${old}" found)
  while(NOT found EQUAL -1)
    math(EXPR at "${offset} + ${found}")
    _tonvik_line_at("${content}" ${at} line)
    math(EXPR distance "${line} - ${expected}")
    if(distance LESS 0)
      math(EXPR distance "-${distance}")
    endif()
    if(best EQUAL -1 OR distance LESS best_distance)
      set(best ${at})
      set(best_line ${line})
      set(best_distance ${distance})
    endif()
    math(EXPR skip "${found} + 1")
    math(EXPR offset "${offset} + ${skip}")
    string(SUBSTRING "${rest}" ${skip} -1 rest)
    string(FIND "${rest}" "\n${old}" found)
  endwhile()
  if(best EQUAL -1)
    set(${at_var} -1 PARENT_SCOPE)
    set(${line_var} -1 PARENT_SCOPE)
    return()
  endif()
  string(SUBSTRING "${content}" 0 ${best} head)
  string(LENGTH "${old}" old_length)
  math(EXPR tail_start "${best} + ${old_length}")
  string(SUBSTRING "${content}" ${tail_start} -1 tail)
  string(LENGTH "${head}${new}" past)
  set(${content_var} "${head}${new}${tail}" PARENT_SCOPE)
  set(${at_var} ${past} PARENT_SCOPE)
  set(${line_var} ${best_line} PARENT_SCOPE)
endfunction()

# Applies the unified diff `patch_file` to `content_var` (both list-safe).
# On success `error_var` is empty; otherwise it says what failed and the
# content is left as it was.
function(_tonvik_apply_patch content_var patch_file error_var)
  set(content "${${content_var}}")
  file(READ "${patch_file}" text)
  _tonvik_list_safe(text)
  string(REPLACE "\n" ";" lines "${text}")

  set(target "")
  set(hunks 0)
  set(old_left 0)
  set(new_left 0)
  set(from 0)      # no hunk may start before the end of the previous one
  set(shift 0)     # lines added minus lines removed by the previous hunks
  set(drift 0)     # how far the previous hunk was from its line number
  foreach(line IN LISTS lines)
    if(old_left GREATER 0 OR new_left GREATER 0)
      string(SUBSTRING "${line}" 0 1 kind)
      string(SUBSTRING "${line}" 1 -1 body)
      if(line STREQUAL "")
        set(kind " ")   # an empty context line whose space was stripped
      endif()
      if(kind STREQUAL " " AND old_left GREATER 0 AND new_left GREATER 0)
        string(APPEND old "${body}\n")
        string(APPEND new "${body}\n")
        math(EXPR old_left "${old_left} - 1")
        math(EXPR new_left "${new_left} - 1")
      elseif(kind STREQUAL "-" AND old_left GREATER 0)
        string(APPEND old "${body}\n")
        math(EXPR old_left "${old_left} - 1")
      elseif(kind STREQUAL "+" AND new_left GREATER 0)
        string(APPEND new "${body}\n")
        math(EXPR new_left "${new_left} - 1")
      else()
        set(${error_var} "hunk ${hunks} is malformed at \"${line}\"" PARENT_SCOPE)
        return()
      endif()
      if(old_left EQUAL 0 AND new_left EQUAL 0)
        math(EXPR expected "${old_start} + ${shift} + ${drift}")
        _tonvik_apply_hunk(content ${from} ${expected} "${old}" "${new}" from found_line)
        if(from EQUAL -1)
          set(${error_var} "hunk ${hunks} (line ${old_start}) does not match the header" PARENT_SCOPE)
          return()
        endif()
        math(EXPR drift "${found_line} - ${old_start} - ${shift}")
        math(EXPR shift "${shift} + ${new_count} - ${old_count}")
      endif()
    elseif(line MATCHES "^@@ -([0-9]+)(,([0-9]+))? \\+([0-9]+)(,([0-9]+))? @@")
      set(old_start ${CMAKE_MATCH_1})
      set(old_count 1)
      if(NOT CMAKE_MATCH_3 STREQUAL "")
        set(old_count ${CMAKE_MATCH_3})
      endif()
      set(new_count 1)
      if(NOT CMAKE_MATCH_6 STREQUAL "")
        set(new_count ${CMAKE_MATCH_6})
      endif()
      math(EXPR hunks "${hunks} + 1")
      if(target STREQUAL "")
        set(${error_var} "hunk ${hunks} comes before the file names" PARENT_SCOPE)
        return()
      endif()
      if(old_count EQUAL 0)
        # Without one old line a hunk has nothing to match: refused.
        set(${error_var} "hunk ${hunks} has no context" PARENT_SCOPE)
        return()
      endif()
      set(old "")
      set(new "")
      set(old_left ${old_count})
      set(new_left ${new_count})
    elseif(hunks EQUAL 0 AND line MATCHES "^\\+\\+\\+ ")
      set(target "${line}")
    elseif(hunks GREATER 0 AND NOT line STREQUAL "")
      # Another file, or a line that belongs to no hunk ("\ No newline...").
      set(${error_var} "unexpected line after hunk ${hunks}: \"${line}\"" PARENT_SCOPE)
      return()
    endif()
    # Before the first hunk: the description, then "--- a/..." and "+++ b/...".
  endforeach()
  if(old_left GREATER 0 OR new_left GREATER 0)
    set(${error_var} "hunk ${hunks} is cut short" PARENT_SCOPE)
  elseif(hunks EQUAL 0)
    set(${error_var} "no hunks" PARENT_SCOPE)
  elseif(NOT target MATCHES "^\\+\\+\\+ ([^/\t ]+/)?stb_image\\.h([\t ]|$)")
    set(${error_var} "it patches ${target}, not stb_image.h" PARENT_SCOPE)
  else()
    set(${error_var} "" PARENT_SCOPE)
    set(${content_var} "${content}" PARENT_SCOPE)
  endif()
endfunction()

function(tonvik_apply_stb_patches original patch_dir patched)
  file(READ "${original}" header)
  _tonvik_list_safe(header)
  set(failures "")
  set(applied "")
  if(EXISTS "${patch_dir}/series")
    file(STRINGS "${patch_dir}/series" series)
  else()
    list(APPEND failures "series: missing")
    set(series "")
  endif()
  foreach(name IN LISTS series)
    string(STRIP "${name}" name)
    if(name STREQUAL "" OR name MATCHES "^#")
      continue()
    endif()
    if(NOT EXISTS "${patch_dir}/${name}")
      list(APPEND failures "${name}: missing")
      continue()
    endif()
    _tonvik_apply_patch(header "${patch_dir}/${name}" error)
    if(NOT error STREQUAL "")
      list(APPEND failures "${name}: ${error}")
    else()
      string(APPEND applied "     ${name}\n")
    endif()
  endforeach()
  if(failures)
    list(LENGTH failures count)
    list(JOIN failures "\n  " report)
    _tonvik_list_unsafe(report)
    message(FATAL_ERROR "${count} stb_image patch(es) in ${patch_dir} do not apply to ${original}:\n  ${report}")
  endif()
  _tonvik_list_unsafe(header)

  set(banner "/* stb_image.h, pinned in third_party/stb, with the patches of
   third_party/stb/patches applied in this order:
${applied}   Written when the build is configured: change a patch, never this
   file (third_party/stb/README.md). */\n")
  set(result "${banner}${header}")
  if(EXISTS "${patched}")
    file(READ "${patched}" previous)
    if(previous STREQUAL result)
      return()
    endif()
  endif()
  file(WRITE "${patched}" "${result}")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  include(${CMAKE_CURRENT_LIST_DIR}/pinned_stb.cmake)
  tonvik_check_pinned_stb(${STB_DIR})
  tonvik_apply_stb_patches(${STB_DIR}/stb_image.h ${STB_DIR}/patches ${OUTPUT})
  message(STATUS "wrote ${OUTPUT}")
endif()
