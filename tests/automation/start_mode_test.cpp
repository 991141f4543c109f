// Start switches and the activation file, in a throw-away data folder.
#include "automation/start_mode.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

namespace qorvel {
namespace {

TEST(StartMode, SwitchesTakeEitherPrefixAndAnyCase) {
  struct {
    QStringList Args;
    TStartMode Mode;
  } rows[] = {
      {{"qorvel"}, TStartMode::User},
      {{"qorvel", "-I:/tmp/x.ini"}, TStartMode::User},
      {{"qorvel", "/REGSERVER"}, TStartMode::RegServer},
      {{"qorvel", "-regserver"}, TStartMode::RegServer},
      {{"qorvel", "/UnRegServer"}, TStartMode::UnregServer},
      {{"qorvel", "-I:a.ini", "/Automation"}, TStartMode::Automation},
      {{"qorvel", "-EMBEDDING"}, TStartMode::Automation},
      {{"qorvel", "REGSERVER"}, TStartMode::User},
      {{"/REGSERVER"}, TStartMode::User},  // the program's own name is no switch
  };
  for (const auto& row : rows) {
    EXPECT_EQ(StartModeFromArguments(row.Args), row.Mode) << row.Args.join(' ').toStdString();
  }
}

TEST(StartMode, RegistrationWritesAndRemovesTheActivationFileUnderXdgDataHome) {
  QTemporaryDir home;
  ASSERT_TRUE(home.isValid());
  const QByteArray saved = qgetenv("XDG_DATA_HOME");
  qputenv("XDG_DATA_HOME", home.path().toLocal8Bit());
  const QString path = home.path() + "/dbus-1/services/Qorvel.AutoEMI.service";
  EXPECT_EQ(ActivationFilePath(), path);

  EXPECT_EQ(RunRegistration(TStartMode::RegServer, "/opt/my apps/qorvel",
                            {"/opt/my apps/qorvel", "-i:/etc/it's.ini", "/REGSERVER"}),
            std::optional<int>(0));
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(QString::fromUtf8(file.readAll()),
            "[D-BUS Service]\nName=Qorvel.AutoEMI\nExec='/opt/my apps/qorvel' "
            "'-i:/etc/it'\\''s.ini' /AUTOMATION\n");
  file.close();
  EXPECT_EQ(ActivationFileText("/usr/bin/qorvel"),
            "[D-BUS Service]\nName=Qorvel.AutoEMI\nExec=/usr/bin/qorvel /AUTOMATION\n");

  EXPECT_EQ(RunRegistration(TStartMode::UnregServer, "qorvel"), std::optional<int>(0));
  EXPECT_FALSE(QFile::exists(path));
  EXPECT_EQ(RunRegistration(TStartMode::UnregServer, "qorvel"), std::optional<int>(0));
  EXPECT_EQ(RunRegistration(TStartMode::User, "qorvel"), std::nullopt);
  EXPECT_EQ(RunRegistration(TStartMode::Automation, "qorvel"), std::nullopt);
  if (saved.isNull()) {
    qunsetenv("XDG_DATA_HOME");
  } else {
    qputenv("XDG_DATA_HOME", saved);
  }
}

}  // namespace
}  // namespace qorvel
