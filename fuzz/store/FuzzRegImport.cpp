// Import files of tessaline-reg against arbitrary text. Parsing never touches the
// store; every value it accepts must survive the export format unchanged.
#include <RegText.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void Check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "reg import fuzzer: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view text(reinterpret_cast<const char *>(data), size);
    std::vector<RegText::Op> ops;
    RegText::ParseError error;
    if (!RegText::ParseImport(text, &ops, &error)) {
        Check(ops.empty(), "operations left after an error");
        return 0;
    }
    for (const RegText::Op &op : ops) {
        Check(op.root == HKEY_CURRENT_USER || op.root == HKEY_CLASSES_ROOT, "no root");
        if (op.kind != RegText::OpKind::SetValue)
            continue;
        Check(op.data.size() <= RegText::MAX_VALUE_BYTES, "value over the cap");
        std::string again = "REGEDIT4\n[" + RegText::FullKeyName(op.root, op.path) + "]\n" +
                            RegText::FormatValue(op.name, op.type, op.data);
        std::vector<RegText::Op> back;
        Check(RegText::ParseImport(again, &back, &error), "exported value does not parse");
        Check(back.size() == 2 && back[1].name == op.name && back[1].type == op.type && back[1].data == op.data,
              "exported value changed");
    }
    return 0;
}
