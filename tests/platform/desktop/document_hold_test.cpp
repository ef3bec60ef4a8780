// The document-hold probe against real holders in child processes.
#include <gtest/gtest.h>
#include <sys/file.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
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

TEST_F(DocumentHold, held_while_another_process_locks_it_or_has_it_open_and_free_after) {
  EXPECT_EQ(probeDocumentHold(dir.file("nada.doc")).state, HoldState::Missing);
  struct Case {
    Hold how;
    HoldState state;
    HoldKind kind;
    bool holderKnown;
  };
  for (auto [how, state, kind, holderKnown] :
       {Case{Hold::Nothing, HoldState::Free, HoldKind::None, false},  // other files open only
        Case{Hold::PosixLock, HoldState::Held, HoldKind::Lock, true},
        Case{Hold::OfdLock, HoldState::Held, HoldKind::Lock, false},
        Case{Hold::Flock, HoldState::Held, HoldKind::Lock, true},
        Case{Hold::Open, HoldState::Held, HoldKind::Open, true}}) {
    SCOPED_TRACE(static_cast<int>(how));
    ChildProcess child(doc, how);
    ASSERT_TRUE(child.ready());
    auto report = probeDocumentHold(doc);
    EXPECT_EQ(report.state, state) << report.reason;
    EXPECT_EQ(report.kind, kind) << report.reason;
    if (holderKnown) {
      EXPECT_EQ(report.holder, child.pid()) << report.reason;
      EXPECT_NE(report.reason.find(std::to_string(child.pid())), std::string::npos) << report.reason;
    }
    child.stop();
    EXPECT_EQ(probeDocumentHold(doc).state, HoldState::Free);
  }
}

TEST_F(DocumentHold, held_while_an_editor_lock_file_lies_beside_it) {
  // Office lock names lose the stem's first character at seven, two beyond.
  for (auto [name, lock] : {std::pair{"informe.doc", ".~lock.informe.doc#"},
                            {"informe.doc", "~$nforme.doc"},
                            {"informe.doc", ".informe.doc.swp"},
                            {"informe.doc", ".#informe.doc"},
                            {"a.doc", "~$a.doc"},
                            {"abcdef.doc", "~$abcdef.doc"},
                            {"abcdefg", "~$bcdefg"},
                            {"abcdefgh.doc", "~$cdefgh.doc"},
                            {"presupuesto.docx", "~$esupuesto.docx"}}) {
    SCOPED_TRACE(lock);
    const std::string document = dir.write(name, "x");
    // Emacs leaves a dangling symbolic link.
    std::filesystem::create_symlink("usuario@equipo.123", dir.file(lock));
    auto report = probeDocumentHold(document);
    EXPECT_EQ(report.state, HoldState::Held);
    EXPECT_EQ(report.kind, HoldKind::LockFile);
    std::filesystem::remove(dir.file(lock));
    EXPECT_EQ(probeDocumentHold(document).state, HoldState::Free);
    auto names = platform::editorLockFileNames(name);
    EXPECT_EQ(std::count_if(names.begin(), names.end(), [](auto& n) { return n.rfind("~$", 0) == 0; }),
              std::string(name).find('.') >= 7 ? 2 : 1);
    // Read back, the lock file names its document (the Office family's shortened).
    EXPECT_EQ(platform::lockedDocumentName(lock),
              std::string(lock).starts_with("~$") ? std::string(lock).substr(2) : name);
  }
  for (const char* notLock : {"informe.doc", ".~lock.#", ".swp", "~$", ".~lock.a/b#", ".informe.doc"}) {
    EXPECT_EQ(platform::lockedDocumentName(notLock), std::nullopt) << notLock;
  }
}

TEST_F(DocumentHold, answers_by_path_after_a_save_renames_a_new_file_over_it) {
  ChildProcess oldReader(doc, Hold::Open);
  ASSERT_TRUE(oldReader.ready());
  ASSERT_EQ(probeDocumentHold(doc).state, HoldState::Held);
  ASSERT_EQ(std::rename(dir.write("informe.doc.tmp", "guardado").c_str(), doc.c_str()), 0);
  // The old file is still open, but the document at the path is a new one.
  EXPECT_EQ(probeDocumentHold(doc).state, HoldState::Free);
  ChildProcess newLocker(doc, Hold::PosixLock);
  ASSERT_TRUE(newLocker.ready());
  EXPECT_EQ(probeDocumentHold(doc).state, HoldState::Held);
}

TEST_F(DocumentHold, this_process_own_descriptors_and_locks_do_not_count) {
  int fd = ::open(doc.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct flock lock {};
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

  // Probing takes no lock: an editor taking a write lock without waiting
  // never finds one of ours.
  ASSERT_EQ(::flock(fd, LOCK_UN), 0);
  std::atomic<bool> done{false};
  std::thread prober([&] {
    while (!done) probeDocumentHold(doc);
  });
  int refused = 0;
  for (int i = 0; i < 300; ++i) {
    lock.l_type = F_WRLCK;
    refused += ::fcntl(fd, F_OFD_SETLK, &lock) != 0;
    lock.l_type = F_UNLCK;
    ::fcntl(fd, F_OFD_SETLK, &lock);
    refused += ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::flock(fd, LOCK_UN);
  }
  done = true;
  prober.join();
  ::close(fd);
  EXPECT_EQ(refused, 0);
}

}  // namespace
