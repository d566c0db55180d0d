// Readable, stable names for value-parameterised cases. CTest names a case after its
// parameter's printed bytes (pointers and padding included, so they change from run to
// run) unless the case has a name, and it does the same to a name of digits only.
#pragma once
#include <cctype>
#include <cstdio>
#include <string>

// A test name from the text of a Python expression: letters and digits stay, "**" reads
// "pow", a sign "minus" or "plus", a decimal point "p", an opening brace, bracket or
// tuple parenthesis "Dict", "List" or "Tuple", and every other run of characters becomes
// one underscore.
inline std::string paramName(const std::string& text) {
    std::string name;
    auto word = [&name](const char* w) {
        if (!name.empty() && name.back() != '_') name += '_';
        name += w;
    };
    for (size_t i = 0; i < text.size(); i++) {
        const char ch = text[i];
        const bool afterName =
            i > 0 && (std::isalnum(static_cast<unsigned char>(text[i - 1])) || text[i - 1] == ')');
        if (std::isalnum(static_cast<unsigned char>(ch))) {
            name += ch;
        } else if (ch == '*' && i + 1 < text.size() && text[i + 1] == '*') {
            name += "pow";
            i++;
        } else if (ch == '-') {
            word("minus");
        } else if (ch == '+') {
            word("plus");
        } else if (ch == '.') {
            name += 'p';
        } else if (ch == '{') {
            word("Dict_");
        } else if (ch == '[') {
            word("List_");
        } else if (ch == '(' && !afterName) {
            word("Tuple_");
        } else if (!name.empty() && name.back() != '_') {
            name += '_';
        }
    }
    while (!name.empty() && name.back() == '_') name.pop_back();
    if (name.find_first_not_of("0123456789") == std::string::npos) name = "Int" + name;
    return name;
}

inline std::string paramName(double x) {
    char text[32];
    std::snprintf(text, sizeof text, "%.12g", x);
    std::string s(text);
    if (s.find_first_of(".en") == std::string::npos) s += ".0";
    return paramName(s);
}
