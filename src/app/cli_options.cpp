#include "app/cli_options.h"

#include <algorithm>
#include <cstring>

namespace kestrel {
namespace {

constexpr std::size_t kWidth = 92;      // the usage text fits a terminal of this width
constexpr std::size_t kHelpColumn = 30; // where the options' help starts

const TOptionSpec* Find(const TCommandSpec& spec, const std::string& word) {
    for (const TOptionSpec& option : spec.Options)
        if (word == option.Name || (option.Alias && word == option.Alias))
            return &option;
    return nullptr;
}

std::string OptionWithValue(const TOptionSpec& option) {
    return option.Value ? std::string(option.Name) + " " + option.Value : option.Name;
}

} // namespace

std::string TParsedCommand::Value(const std::string& name, const std::string& fallback) const {
    auto it = Values.find(name);
    return it == Values.end() ? fallback : it->second.back();
}

const std::vector<std::string>& TParsedCommand::All(const std::string& name) const {
    static const std::vector<std::string> none;
    auto it = Values.find(name);
    return it == Values.end() ? none : it->second;
}

TParsedCommand ParseCommand(const TCommandSpec& spec, int argc, char** argv, int first) {
    TParsedCommand parsed;
    bool positionalOnly = false;
    for (int i = first; i < argc; ++i) {
        std::string word = argv[i];
        if (positionalOnly || word == "-" || word.empty() || word[0] != '-') {
            parsed.Positionals.push_back(word);
            continue;
        }
        if (word == "--") {
            positionalOnly = true;
            continue;
        }
        std::string value;
        bool inlineValue = false;
        if (std::size_t equals = word.find('='); word.rfind("--", 0) == 0 && equals != word.npos) {
            value = word.substr(equals + 1);
            word.resize(equals);
            inlineValue = true;
        }
        const TOptionSpec* option = Find(spec, word);
        if (!option)
            throw TUsageError{"unknown option " + word};
        if (!option->Value && inlineValue)
            throw TUsageError{word + " takes no value"};
        if (option->Value && !inlineValue) {
            if (i + 1 >= argc)
                throw TUsageError{word + " needs a value (" + option->Value + ")"};
            value = argv[++i];
        }
        std::vector<std::string>& values = parsed.Values[option->Name];
        if (!values.empty() && !option->Repeatable && option->Value && values.back() != value)
            throw TUsageError{std::string(option->Name) + " is given twice"};
        values.push_back(value);
        parsed.InOrder.emplace_back(option->Name, value);
    }
    std::size_t required = std::count_if(spec.Positionals.begin(), spec.Positionals.end(),
                                         [](const TPositionalSpec& p) { return p.Required; });
    if (parsed.Positionals.size() < required)
        throw TUsageError{std::string(spec.Positionals[parsed.Positionals.size()].Name) +
                          " is missing"};
    if (parsed.Positionals.size() > spec.Positionals.size())
        throw TUsageError{"too many arguments: '" + parsed.Positionals[spec.Positionals.size()] +
                          "' is one too many"};
    return parsed;
}

std::string SynopsisText(const TCommandSpec& spec, const char* prefix) {
    std::vector<std::string> words;
    for (const TOptionSpec& option : spec.Options)
        words.push_back("[" + OptionWithValue(option) + "]" + (option.Repeatable ? "..." : ""));
    for (const TPositionalSpec& positional : spec.Positionals)
        words.push_back(positional.Required ? std::string(positional.Name)
                                            : "[" + std::string(positional.Name) + "]");
    std::string text = std::string(prefix) + spec.Synopsis;
    const std::string indent(text.size(), ' ');
    std::size_t lineStart = 0;
    for (const std::string& word : words) {
        if (text.size() - lineStart + 1 + word.size() > kWidth) {
            text += "\n";
            lineStart = text.size();
            text += indent;
        }
        text += " " + word;
    }
    return text + "\n";
}

std::string OptionsText(const TCommandSpec& spec) {
    std::string text;
    for (const TOptionSpec& option : spec.Options) {
        std::string line = "  " + OptionWithValue(option);
        if (option.Alias)
            line += ", " + std::string(option.Alias);
        const char* help = option.Help;
        while (true) {
            const char* end = std::strchr(help, '\n');
            std::string part = end ? std::string(help, end) : std::string(help);
            if (line.size() + 1 > kHelpColumn) {
                text += line + "\n";
                line.clear();
            }
            line.resize(kHelpColumn, ' ');
            text += line + part + "\n";
            line.clear();
            if (!end)
                break;
            help = end + 1;
        }
    }
    return text;
}

} // namespace kestrel
