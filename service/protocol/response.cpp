#include "service/protocol/response.h"

namespace varnelo {

void WriteResponse(Reply& reply, const ResponseMap& response) {
  if (reply.given_) return;
  reply.text_ = FormatResponse(response);
  reply.given_ = true;
}

void WriteErrorResponse(Reply& reply, const std::string& message, int32_t code) {
  WriteResponse(reply, MakeErrorResponse(message, code));
}

}  // namespace varnelo
