#include "common/logging.hpp"

#include "common/conversions.hpp"
#include "common/python_api.hpp"

namespace zelvora::py {

Logger::Logger(const char* dotted_name) : proxy_(api().get_logger(dotted_name)) {}

void Logger::emit(const char* level, std::string_view event) const {
  proxy_.attr(level)(from_text_bytes(event));
}

}  // namespace zelvora::py
