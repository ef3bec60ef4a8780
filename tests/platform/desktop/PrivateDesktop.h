#pragma once
// A private desktop for the tests of this executable: HOME, the XDG folders,
// MIME types, desktop entries and stand-in editors in a temporary folder. It
// is set up before the first test runs, so GIO never sees the real desktop.

#include <string>

namespace desktoptest {

struct PrivateDesktop {
  std::string root;         // everything lives below this folder
  std::string home;         // HOME
  std::string editorDir;    // "ROOT/apps/my editor": the stand-in editor's bundle
  std::string editor;       // its script, "EDITORDIR/editor.sh"
  std::string runs;         // where the stand-in editors record their starts
  std::string launcherDir;  // a bundle whose launcher script execs a program beside it
  std::string docs;         // a folder for documents
};

// The desktop (valid once the tests run).
const PrivateDesktop& desktop();

}  // namespace desktoptest
