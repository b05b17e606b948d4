// The workspace: the default browser and the file viewer, reached through the desktop's
// freedesktop services.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace lumivane::qt {

// Hands the URL to the desktop's opener (in the end xdg-open, which honours $BROWSER). False
// when the text is not a valid http or https URL (the opener would start any handler for any
// other scheme) or no opener could be started.
bool openInBrowser(const std::string& url);

// Asks the session's file manager (org.freedesktop.FileManager1 ShowItems) to show the files
// selected, without waiting for it. When there is no session bus, no such service or it
// answers with an error, the folders holding the files are opened instead.
void revealInFileViewer(const std::vector<std::filesystem::path>& files);

// Waits until every reveal asked for so far has reached the file manager and been answered
// (each bounded by its call's timeout), falling back to the folders as above. Called before
// the process exits, so that a reveal asked for just before quitting is not lost.
void finishPendingReveals();

}  // namespace lumivane::qt
