// The split's steps, in the order they run: kiv::split takes them in one
// call, the command's operations one each, on one Run (outputs[0] the header,
// outputs[1] the body).
#pragma once

#include <cerrno>
#include <cstdint>
#include <exception>
#include <new>
#include <string>

#include "core.h"

// Records the image, reads its header-size word at offset, and says "Header File Size".
kiv::Result split_record(Run& run, const std::string& image, std::uint64_t offset,
                         std::int32_t& header_size);
// Looks at both outputs before anything is written (see prepare_output); with
// body_later, a body that can't be created is left for the body step to say.
kiv::Result split_prepare(Run& run, const std::string& header, const std::string& body,
                          std::int32_t header_size, bool body_later = false);
// Looks at the body alone, where the header step left it for later.
kiv::Result split_prepare_body(Run& run, const std::string& body, std::int32_t header_size);
// Writes the header privately, padded with 0xFF past the image's end, and puts it in place.
kiv::Result split_header(Run& run, std::int32_t header_size);
// Writes the body likewise, checks the image and both outputs, removes the image.
kiv::Result split_body(Run& run, std::int32_t header_size);

// Runs step, turning what it may throw (an allocation that failed, a path
// that can't be converted) into a result.
template <class Step>
kiv::Result guarded(Step step) {
  kiv::Result r;
  try {
    r = step();
  } catch (const std::bad_alloc&) {
    r = failed(kiv::Failure::no_memory, ENOMEM, "", "out of memory");
  } catch (const std::exception& e) {
    r = failed(kiv::Failure::io, 0, "", "%s", e.what());
  }
  return r;
}
