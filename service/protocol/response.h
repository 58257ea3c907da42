// What a command handler answers, and the handler type: below every handler, so that none of
// them depends on the pipe server that runs them.
#pragma once

#include <cstdint>
#include <string>

#include "service/protocol/request.h"

namespace varnelo {

// The one answer of a request. A handler gives it exactly once; the connection writes it to the
// client afterwards, under the client's own time limit, so a client that does not take its answer
// holds up nobody else.
class Reply {
 public:
  bool given() const { return given_; }
  const std::string& text() const { return text_; }

 private:
  friend void WriteResponse(Reply& reply, const ResponseMap& response);
  std::string text_;
  bool given_ = false;
};

// The response map as "key=value" lines in key order and an empty line. A second answer is
// ignored: a request has one.
void WriteResponse(Reply& reply, const ResponseMap& response);
// ok=0, error and error_code.
void WriteErrorResponse(Reply& reply, const std::string& message, int32_t code);

}  // namespace varnelo
