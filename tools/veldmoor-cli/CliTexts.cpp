#include "tools/veldmoor-cli/CliTexts.h"

#include "i18n/Language.h"

namespace veldmoor::cli {

std::string CliText(UserText text, std::initializer_list<std::string> arguments) {
    return ComposeText(text, i18n::ControllerTranslator(), arguments);
}

std::string CliNotice(UserText text, std::initializer_list<std::string> arguments) {
    // The program's name stays as it is in every language.
    return "veldmoor-cli: " + CliText(text, arguments);
}

}  // namespace veldmoor::cli
