// ztpack attach --type T --data F FILE: appends one attachment at the end of FILE.
#include <cstdio>

#include "author/attachment_writer.h"
#include "cmd/command.h"

namespace ztpack {
namespace {

constexpr CommandErrors kErrors{"attach"};

struct AttachOptions {
  std::string type;
  std::string data;
  std::string file;
  std::string out;
};

CommandRegistration registration{Command{
    "attach", "Append one attachment (scrambled data and footer) at the end of FILE",
    [](CLI::App& app) -> std::function<int()> {
      auto options = std::make_shared<AttachOptions>();
      app.add_option("--type", options->type, "Attachment type, exactly four characters")
          ->required();
      app.add_option("--data", options->data, "File holding the attachment's data")->required();
      app.add_option("--out", options->out, "Write the result here instead of replacing FILE");
      app.add_option("FILE", options->file, "The file to append to")->required();
      return [options] {
        if (auto bad = FirstUnreadable({options->data, options->file}); !bad.empty()) {
          return kErrors.Fail(kExitUnusable, bad);
        }
        support::Status typeOk = CheckAttachmentType(options->type);
        if (!typeOk) return kErrors.Fail(kExitUnusable, typeOk.error());
        support::Status status = AppendAttachments(
            options->file, {AttachmentInput::FromFile(options->type, options->data)}, options->out);
        if (!status) return kErrors.Fail(kExitFailed, status.error());
        return kExitOk;
      };
    }}};

}  // namespace
}  // namespace ztpack
