// The document-hold probe against real holders in child processes.
#include <gtest/gtest.h>
#include <sys/file.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "ChildProcess.h"
#include "platform/DocumentHold.h"
#include "testsupport/TestSupport.h"

namespace {

using desktoptest::ChildProcess;
using desktoptest::Hold;
using platform::HoldKind;
using platform::HoldState;
using platform::probeDocumentHold;

class DocumentHold : public testing::Test {
 protected:
  testsupport::TempDir dir;
  std::string doc = dir.write("informe.doc", "original");
};

TEST_F(DocumentHold, free_when_nobody_holds_it_and_missing_when_nothing_is_there) {
  auto report = probeDocumentHold(doc);
  EXPECT_EQ(report.state, HoldState::Free) << report.reason;
  EXPECT_EQ(report.kind, HoldKind::None);
  EXPECT_EQ(probeDocumentHold(dir.file("nada.doc")).state, HoldState::Missing);
  // A process that has other files open, or exited, changes nothing.
  ChildProcess idle(doc, Hold::Nothing);
  ASSERT_TRUE(idle.ready());
  EXPECT_EQ(probeDocumentHold(doc).state, HoldState::Free);
}

TEST_F(DocumentHold, held_while_another_process_holds_any_kind_of_lock_or_merely_has_it_open) {
  struct Case {
    Hold how;
    HoldKind kind;
    bool holderKnown;
  };
  for (auto [how, kind, holderKnown] : {Case{Hold::PosixLock, HoldKind::Lock, true},
                                        Case{Hold::OfdLock, HoldKind::Lock, false},
                                        Case{Hold::Flock, HoldKind::Lock, true}, Case{Hold::Open, HoldKind::Open, true}}) {
    ChildProcess child(doc, how);
    ASSERT_TRUE(child.ready());
    auto report = probeDocumentHold(doc);
    EXPECT_EQ(report.state, HoldState::Held) << static_cast<int>(how);
    EXPECT_EQ(report.kind, kind) << report.reason;
    if (holderKnown) {
      EXPECT_EQ(report.holder, child.pid()) << report.reason;
      EXPECT_NE(report.reason.find(std::to_string(child.pid())), std::string::npos) << report.reason;
    }
    child.stop();
    EXPECT_EQ(probeDocumentHold(doc).state, HoldState::Free) << static_cast<int>(how);
  }
}

TEST_F(DocumentHold, held_while_an_editor_lock_file_lies_beside_it) {
  for (const std::string& name : {std::string(".~lock.informe.doc#"), std::string("~$nforme.doc"),
                                  std::string(".informe.doc.swp")}) {
    std::string lock = dir.write(name, "usuario,equipo");
    auto report = probeDocumentHold(doc);
    EXPECT_EQ(report.state, HoldState::Held) << name;
    EXPECT_EQ(report.kind, HoldKind::LockFile) << name;
    std::filesystem::remove(lock);
  }
  // Emacs leaves a dangling symbolic link.
  std::filesystem::create_symlink("usuario@equipo.123", dir.file(".#informe.doc"));
  EXPECT_EQ(probeDocumentHold(doc).kind, HoldKind::LockFile);
  std::filesystem::remove(dir.file(".#informe.doc"));
  EXPECT_EQ(probeDocumentHold(doc).state, HoldState::Free);
}

TEST(DocumentHoldNames, office_lock_names_shorten_long_stems) {
  // A stem of seven characters loses its first one, a longer stem two.
  for (auto [name, office] : {std::pair{"a.doc", "~$a.doc"}, {"abcdef.doc", "~$abcdef.doc"},
                              {"abcdefg.doc", "~$bcdefg.doc"}, {"abcdefgh.doc", "~$cdefgh.doc"},
                              {"presupuesto.docx", "~$esupuesto.docx"}, {"informe", "~$nforme"}}) {
    auto names = platform::editorLockFileNames(name);
    EXPECT_EQ(std::count_if(names.begin(), names.end(), [](auto& n) { return n.rfind("~$", 0) == 0; }),
              office == "~$" + std::string(name) ? 1 : 2) << name;
    EXPECT_NE(std::find(names.begin(), names.end(), office), names.end()) << name;
    EXPECT_NE(std::find(names.begin(), names.end(), ".~lock." + std::string(name) + "#"), names.end());
  }
}

TEST_F(DocumentHold, answers_by_path_after_a_save_renames_a_new_file_over_it) {
  ChildProcess oldReader(doc, Hold::Open);
  ASSERT_TRUE(oldReader.ready());
  ASSERT_EQ(probeDocumentHold(doc).state, HoldState::Held);
  std::string saved = dir.write("informe.doc.tmp", "guardado");
  ASSERT_EQ(std::rename(saved.c_str(), doc.c_str()), 0);
  // The old file is still open, but the document at the path is a new one.
  EXPECT_EQ(probeDocumentHold(doc).state, HoldState::Free);
  ChildProcess newLocker(doc, Hold::PosixLock);
  ASSERT_TRUE(newLocker.ready());
  EXPECT_EQ(probeDocumentHold(doc).state, HoldState::Held);
}

TEST_F(DocumentHold, this_process_own_descriptors_and_locks_do_not_count) {
  int fd = ::open(doc.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct flock lock{};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  // Our POSIX lock: the lock query and /proc/locks both show it, with our pid.
  ASSERT_EQ(::fcntl(fd, F_SETLK, &lock), 0);
  auto own = probeDocumentHold(doc);
  EXPECT_EQ(own.state, HoldState::Free) << own.reason;
  ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &lock), 0);
  EXPECT_EQ(probeDocumentHold(doc).state, HoldState::Free);
  // Another process's OFD lock is told apart from ours although neither
  // carries a pid.
  {
    ChildProcess other(doc, Hold::OfdReadLock);
    ASSERT_TRUE(other.ready());
    EXPECT_EQ(probeDocumentHold(doc).kind, HoldKind::Lock);
  }
  lock.l_type = F_UNLCK;
  ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &lock), 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  EXPECT_EQ(probeDocumentHold(doc).state, HoldState::Free);
  ::close(fd);
}

TEST_F(DocumentHold, probing_takes_no_lock_that_a_writer_could_trip_over) {
  std::atomic<bool> done{false};
  std::thread prober([&] {
    while (!done) probeDocumentHold(doc);
  });
  // An editor loading the document takes a write lock without waiting; it
  // must never find one of ours.
  int fd = ::open(doc.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  int refused = 0;
  for (int i = 0; i < 300; ++i) {
    struct flock lock{};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) ++refused;
    lock.l_type = F_UNLCK;
    ::fcntl(fd, F_OFD_SETLK, &lock);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) ++refused;
    ::flock(fd, LOCK_UN);
  }
  done = true;
  prober.join();
  ::close(fd);
  EXPECT_EQ(refused, 0);
}

}  // namespace
