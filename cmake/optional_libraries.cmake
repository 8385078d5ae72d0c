# The two optional speed-ups of the core, and their fallbacks, which give the
# same results to the last bit:
#   libdeflate  gzip decoding in one pass   (fallback: zlib alone)
#   fast_float  the rare numbers that need  (fallback: std::from_chars)
#               more than one IEEE operation
# QUORVEL_USE_LIBDEFLATE and QUORVEL_USE_FAST_FLOAT are each AUTO (use the
# library when it is found; the default), ON (require it) or OFF (never use
# it). Defines the interface targets quorvel_libdeflate and quorvel_fast_float
# (empty when not used) and the variables QUORVEL_HAVE_LIBDEFLATE and
# QUORVEL_HAVE_FAST_FLOAT (0 or 1).
include(CheckCXXSourceCompiles)
include(CMakePushCheckState)

set(QUORVEL_USE_LIBDEFLATE AUTO CACHE STRING "Decode gzip with libdeflate: AUTO, ON or OFF")
set(QUORVEL_USE_FAST_FLOAT AUTO CACHE STRING "Convert long or extreme numbers with fast_float: AUTO, ON or OFF")
set_property(CACHE QUORVEL_USE_LIBDEFLATE PROPERTY STRINGS AUTO ON OFF)
set_property(CACHE QUORVEL_USE_FAST_FLOAT PROPERTY STRINGS AUTO ON OFF)
option(QUORVEL_LIBDEFLATE_STATIC
  "Link libdeflate's static archive when it has one that fits a shared module, so the module needs no libdeflate at run time" ON)

# Sets `out` to AUTO, ON or OFF from the option `name`; CMake's boolean
# spellings (TRUE, NO, 1, ...) are accepted.
function(quorvel_option_mode name out)
  string(TOUPPER "${${name}}" value)
  if(value STREQUAL "AUTO")
    set(${out} AUTO PARENT_SCOPE)
  elseif(value MATCHES "^(ON|YES|TRUE|Y|1)$")
    set(${out} ON PARENT_SCOPE)
  elseif(value MATCHES "^(OFF|NO|FALSE|N|0)$")
    set(${out} OFF PARENT_SCOPE)
  else()
    message(FATAL_ERROR "${name} is '${${name}}'; use AUTO, ON or OFF")
  endif()
endfunction()

# --- libdeflate -------------------------------------------------------------
add_library(quorvel_libdeflate INTERFACE)
set(QUORVEL_HAVE_LIBDEFLATE 0)
quorvel_option_mode(QUORVEL_USE_LIBDEFLATE libdeflate_mode)
if(NOT libdeflate_mode STREQUAL "OFF")
  find_path(LIBDEFLATE_INCLUDE_DIR libdeflate.h)
  find_library(LIBDEFLATE_LIBRARY NAMES deflate)
  find_library(LIBDEFLATE_STATIC_LIBRARY NAMES libdeflate.a)
  if(LIBDEFLATE_INCLUDE_DIR AND (LIBDEFLATE_LIBRARY OR LIBDEFLATE_STATIC_LIBRARY))
    set(QUORVEL_HAVE_LIBDEFLATE 1)
  elseif(libdeflate_mode STREQUAL "ON")
    message(FATAL_ERROR "QUORVEL_USE_LIBDEFLATE is ON but libdeflate (libdeflate.h and the library) was not found; "
                        "install libdeflate-dev, set LIBDEFLATE_INCLUDE_DIR and LIBDEFLATE_LIBRARY, or use AUTO or OFF")
  endif()
endif()

if(QUORVEL_HAVE_LIBDEFLATE)
  target_include_directories(quorvel_libdeflate INTERFACE ${LIBDEFLATE_INCLUDE_DIR})
  set(libdeflate_linked "")
  if(QUORVEL_LIBDEFLATE_STATIC AND LIBDEFLATE_STATIC_LIBRARY)
    # An archive built without position-independent code cannot go into the
    # Python module; try it in a shared object first.
    cmake_push_check_state(RESET)
    set(CMAKE_REQUIRED_FLAGS "-fPIC")
    set(CMAKE_REQUIRED_LINK_OPTIONS "-shared")
    set(CMAKE_REQUIRED_INCLUDES ${LIBDEFLATE_INCLUDE_DIR})
    set(CMAKE_REQUIRED_LIBRARIES ${LIBDEFLATE_STATIC_LIBRARY})
    set(CMAKE_REQUIRED_QUIET ON)
    check_cxx_source_compiles([[
      #include <libdeflate.h>
      int main() {
        libdeflate_decompressor* d = libdeflate_alloc_decompressor();
        libdeflate_free_decompressor(d);
        return static_cast<int>(libdeflate_crc32(0, nullptr, 0));
      }]] QUORVEL_LIBDEFLATE_ARCHIVE_FITS_SHARED)
    cmake_pop_check_state()
    if(QUORVEL_LIBDEFLATE_ARCHIVE_FITS_SHARED)
      target_link_libraries(quorvel_libdeflate INTERFACE ${LIBDEFLATE_STATIC_LIBRARY})
      # libdeflate's functions stay inside the module instead of being
      # exported, where they could stand in for another copy in the process.
      target_link_options(quorvel_libdeflate INTERFACE "LINKER:--exclude-libs,libdeflate.a")
      set(libdeflate_linked "static, ${LIBDEFLATE_STATIC_LIBRARY}")
    endif()
  endif()
  if(NOT libdeflate_linked)
    if(NOT LIBDEFLATE_LIBRARY)
      message(FATAL_ERROR "libdeflate's static archive ${LIBDEFLATE_STATIC_LIBRARY} cannot be linked into a shared "
                          "module and there is no shared libdeflate; use -DQUORVEL_USE_LIBDEFLATE=OFF")
    endif()
    target_link_libraries(quorvel_libdeflate INTERFACE ${LIBDEFLATE_LIBRARY})
    set(libdeflate_linked "shared, ${LIBDEFLATE_LIBRARY}")
  endif()
  message(STATUS "quorvel: gzip through libdeflate (${libdeflate_linked}), zlib for errors")
elseif(libdeflate_mode STREQUAL "OFF")
  message(STATUS "quorvel: gzip through zlib alone (QUORVEL_USE_LIBDEFLATE=OFF); slower, same results")
else()
  message(STATUS "quorvel: gzip through zlib alone (libdeflate not found); slower, same results")
endif()

# --- ISA-L ------------------------------------------------------------------
# Its streaming inflate decodes a gzip file on a thread of its own ahead of
# the parse (src/inflate_ahead.cpp); without it, gzip files are inflated in
# one go before the parse.
add_library(quorvel_isal INTERFACE)
set(QUORVEL_HAVE_ISAL 0)
set(QUORVEL_USE_ISAL AUTO CACHE STRING "Inflate gzip ahead of the parse with ISA-L: AUTO, ON or OFF")
set_property(CACHE QUORVEL_USE_ISAL PROPERTY STRINGS AUTO ON OFF)
quorvel_option_mode(QUORVEL_USE_ISAL isal_mode)
if(NOT isal_mode STREQUAL "OFF")
  find_path(ISAL_INCLUDE_DIR isa-l/igzip_lib.h)
  find_library(ISAL_STATIC_LIBRARY NAMES libisal.a)
  find_library(ISAL_LIBRARY NAMES isal)
  if(ISAL_INCLUDE_DIR AND (ISAL_LIBRARY OR ISAL_STATIC_LIBRARY))
    set(QUORVEL_HAVE_ISAL 1)
  elseif(isal_mode STREQUAL "ON")
    message(FATAL_ERROR "QUORVEL_USE_ISAL is ON but ISA-L (isa-l/igzip_lib.h and the library) was not found; "
                        "install libisal-dev, set ISAL_INCLUDE_DIR and ISAL_LIBRARY, or use AUTO or OFF")
  endif()
endif()
if(QUORVEL_HAVE_ISAL)
  target_include_directories(quorvel_isal INTERFACE ${ISAL_INCLUDE_DIR})
  if(ISAL_STATIC_LIBRARY)
    target_link_libraries(quorvel_isal INTERFACE ${ISAL_STATIC_LIBRARY})
    target_link_options(quorvel_isal INTERFACE "LINKER:--exclude-libs,libisal.a")
    set(isal_linked "static, ${ISAL_STATIC_LIBRARY}")
  else()
    target_link_libraries(quorvel_isal INTERFACE ${ISAL_LIBRARY})
    set(isal_linked "shared, ${ISAL_LIBRARY}")
  endif()
  message(STATUS "quorvel: gzip inflated ahead of the parse through ISA-L (${isal_linked})")
else()
  message(STATUS "quorvel: gzip inflated before the parse (ISA-L not used)")
endif()

# --- fast_float -------------------------------------------------------------
add_library(quorvel_fast_float INTERFACE)
set(QUORVEL_HAVE_FAST_FLOAT 0)
quorvel_option_mode(QUORVEL_USE_FAST_FLOAT fast_float_mode)
if(NOT fast_float_mode STREQUAL "OFF")
  find_path(FAST_FLOAT_INCLUDE_DIR fast_float/fast_float.h)
  if(FAST_FLOAT_INCLUDE_DIR)
    set(QUORVEL_HAVE_FAST_FLOAT 1)
    target_include_directories(quorvel_fast_float INTERFACE ${FAST_FLOAT_INCLUDE_DIR})
  elseif(fast_float_mode STREQUAL "ON")
    message(FATAL_ERROR "QUORVEL_USE_FAST_FLOAT is ON but fast_float/fast_float.h was not found; "
                        "install libfast-float-dev, set FAST_FLOAT_INCLUDE_DIR, or use AUTO or OFF")
  endif()
endif()
if(QUORVEL_HAVE_FAST_FLOAT)
  message(STATUS "quorvel: numbers through fast_float (${FAST_FLOAT_INCLUDE_DIR})")
elseif(fast_float_mode STREQUAL "OFF")
  message(STATUS "quorvel: numbers through std::from_chars (QUORVEL_USE_FAST_FLOAT=OFF); same results")
else()
  message(STATUS "quorvel: numbers through std::from_chars (fast_float not found); same results")
endif()
