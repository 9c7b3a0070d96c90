#pragma once

#include <filesystem>
#include <string_view>

namespace gw {

// Replaces a file's content so that a crash at any moment leaves either the old content or
// the new one, never a mix: the content goes to a temporary file in the same folder, which
// is flushed to disk and renamed over the file; the folder is then flushed so the rename
// itself is durable. A symbolic link is followed and its target replaced, so the link stays.
// The file keeps its permission bits; a new one gets 0666 less the umask.
// Raises std::system_error. The file is then as it was and the temporary file is removed,
// except when only the last step, flushing the folder, failed: the new content is in place
// but may not survive a crash, which is still reported as a failure.
void ReplaceFileAtomically(const std::filesystem::path& path, std::string_view content);

} // namespace gw
