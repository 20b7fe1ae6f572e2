// ztpack section --type T --data F [--type T --data F ...] PEFILE: writes the attachments, in
// order, into a .ZTBNDL last section of PEFILE (replacing one that is there already).
#include <cstdio>

#include "author/pe_image.h"
#include "cmd/command.h"

namespace ztpack {
namespace {

constexpr CommandErrors kErrors{"section"};

struct SectionOptions {
  std::vector<std::string> types;
  std::vector<std::string> datas;
  std::string file;
  std::string out;
};

CommandRegistration registration{Command{
    "section",
    "Write attachments, in order, into a .ZTBNDL last section of a PE file (PE32 or PE32+)",
    [](CLI::App& app) -> std::function<int()> {
      auto options = std::make_shared<SectionOptions>();
      app.add_option("--type", options->types,
                     "Attachment type (four characters); repeat, one per --data")
          ->required();
      app.add_option("--data", options->datas, "File holding that attachment's data")->required();
      app.add_option("--out", options->out, "Write the result here instead of replacing PEFILE");
      app.add_option("PEFILE", options->file, "The executable")->required();
      return [options] {
        if (options->types.size() != options->datas.size()) {
          return kErrors.Fail(kExitUnusable, std::to_string(options->types.size()) +
                                                 " --type options but " +
                                                 std::to_string(options->datas.size()) +
                                                 " --data options; give them in pairs");
        }
        std::vector<std::string> readFrom = options->datas;
        readFrom.push_back(options->file);
        if (auto bad = FirstUnreadable(readFrom); !bad.empty()) {
          return kErrors.Fail(kExitUnusable, bad);
        }
        std::vector<AttachmentInput> inputs;
        for (size_t i = 0; i < options->types.size(); ++i) {
          support::Status typeOk = CheckAttachmentType(options->types[i]);
          if (!typeOk) return kErrors.Fail(kExitUnusable, typeOk.error());
          inputs.push_back(AttachmentInput::FromFile(options->types[i], options->datas[i]));
        }
        const std::string& out = options->out.empty() ? options->file : options->out;
        support::Status status = WriteBundleSection(options->file, out, inputs);
        if (!status) return kErrors.Fail(kExitFailed, status.error());
        return kExitOk;
      };
    }}};

}  // namespace
}  // namespace ztpack
