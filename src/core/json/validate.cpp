#include "core/json/validate.hpp"

#include "core/json/parser.hpp"

namespace brandor::json {

void validate_document(std::string_view text) {
    Parser parser(text);
    parser.skip_value();
    parser.finish();
}

}  // namespace brandor::json
