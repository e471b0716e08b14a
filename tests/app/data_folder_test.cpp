#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdlib>
#include <string>

#include "app/DataFolder.h"

// Where the tester keeps MAC.CSV, for the working directories it may be started in. $HOME is a
// symbolic link to the real home folder, as on hosts whose /home lives elsewhere: a launcher's
// working directory is the real folder, and must still count as the home folder.
TEST(DataFolder, working_directory_or_the_users_data_folder) {
  QTemporaryDir root;
  ASSERT_TRUE(root.isValid());
  const QString base = QFileInfo(root.path()).canonicalFilePath();
  ASSERT_TRUE(QDir(base).mkpath("real-home/project"));
  ASSERT_TRUE(QFile::link(base + "/real-home", base + "/home"));
  const QString data = base + "/real-home/.local/share";
  const QString saved = QDir::currentPath();
  const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("HOME", (base + "/home").toLocal8Bit().constData(), 1);
  ::setenv("XDG_DATA_HOME", data.toLocal8Bit().constData(), 1);

  struct Row {
    QString start;   // working directory at start
    QString folder;  // where MAC.CSV is kept then
  };
  const Row rows[] = {
      {base + "/real-home/project", base + "/real-home/project"},  // chosen by the user
      {base + "/real-home", data + "/nat-sip-alg-tester"},        // the launcher's home folder
      {"/", data + "/nat-sip-alg-tester"},                        // the root folder
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.start.toStdString());
    ASSERT_TRUE(QDir::setCurrent(r.start));
    EXPECT_EQ(EnterDataFolder(), r.folder.toStdString());
    EXPECT_EQ(QFileInfo(QDir::currentPath()).canonicalFilePath(), r.folder);
  }

  QDir::setCurrent(saved);
  ::setenv("HOME", savedHome.c_str(), 1);
  ::unsetenv("XDG_DATA_HOME");
}
