// A text that is still being written while it is read: the reader reads up
// to where the writer has come, and waits there for more.
#pragma once

#include "error.hpp"

namespace quorvel {

class TextSupply {
public:
    virtual ~TextSupply() = default;

    // Waits until the text reaches `want` (beyond `end`, where it reaches
    // now), or until it is whole; `end` is then where the text reaches, and
    // `whole` tells that nothing more will come. A writer that cannot go on
    // makes it an error, which ends the reading.
    virtual Status wait_for(const char* want, const char*& end, bool& whole) = 0;
};

}  // namespace quorvel
