// qorvelctl decode, run as a user runs it on a traffic log: no bus and no
// Qorvel are needed, only the file.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <string>

#include "emi/codec.h"
#include "emi/frame.h"
#include "temp_dir.h"

namespace {

struct TRun {
  int Code = -1;
  QString Out, Err;
};

class DecodeCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!QFile::exists(ctl_)) GTEST_SKIP() << "qorvelctl is not built";
  }

  // The bus address leads nowhere, so a decode that reached for the bus fails.
  TRun Run(const QStringList& aArgs, const QByteArray& aInput = {}) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
               QStringLiteral("unix:path=") + QString::fromStdString(dir_.File("no-bus")));
    p.setProcessEnvironment(env);
    p.start(ctl_, QStringList{QStringLiteral("decode")} + aArgs);
    EXPECT_TRUE(p.waitForStarted());
    p.write(aInput);
    p.closeWriteChannel();
    EXPECT_TRUE(p.waitForFinished(30000));
    TRun run;
    run.Code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    run.Out = QString::fromUtf8(p.readAllStandardOutput());
    run.Err = QString::fromUtf8(p.readAllStandardError());
    return run;
  }

  // A traffic log: two frames as logged, a line without one, a raw frame
  // whose checksum was spoilt, and a login.
  static std::string Log() {
    std::string wrong = *qorvel::ComposeFrame(60, 1, true, "N/02/");
    wrong[wrong.size() - 2] = wrong[wrong.size() - 2] == '0' ? '1' : '0';
    return "01) " + qorvel::FrameLogText(*qorvel::ComposeFrame(31, 0, false, "0123456/0539")) +
           "\n"
           "status: connected\n"
           "\n" +
           wrong + "\r\n" + "12:00:00 " +
           qorvel::FrameLogText(*qorvel::ComposeFrame(
               60, 2, false, "1234/6/5/1/" + qorvel::TextToHex("secretpw") + "//0100/////")) +
           "\n";
  }

  const QString ctl_ =
      QCoreApplication::applicationDirPath() + QStringLiteral("/../tools/qorvelctl");
  qorvel::testing::TTempDir dir_;
};

TEST_F(DecodeCommand, PrintsEachFrameOfAFileAsABlock) {
  const std::string file = dir_.File("traffic.log");
  qorvel::testing::WriteText(file, Log());
  const TRun run = Run({QString::fromStdString(file)});
  ASSERT_EQ(run.Code, 0) << run.Err.toStdString();
  EXPECT_TRUE(run.Err.isEmpty()) << run.Err.toStdString();
  const QStringList blocks = run.Out.split(QStringLiteral("\n\n"));
  ASSERT_EQ(blocks.size(), 3) << run.Out.toStdString();
  EXPECT_TRUE(
      blocks[0].startsWith(QStringLiteral("Operation: 31 Alert (O, TRN 00)\n"
                                          "Checksum: ")));
  EXPECT_TRUE(
      blocks[0].endsWith(QStringLiteral("\nAdC: 0123456\nPID: 0539 = PC appl. over TCP/IP")));
  EXPECT_TRUE(blocks[1].startsWith(QStringLiteral("Operation: 60 Session management (R, TRN 01)")));
  EXPECT_TRUE(blocks[1].contains(QStringLiteral(" WRONG\nLength: 00022 ok\n")));
  EXPECT_TRUE(blocks[1].contains(QStringLiteral("\nEC: 02 = syntax error\n")));
  EXPECT_TRUE(blocks[2].contains(QStringLiteral("\nPWD: (8 characters, hidden)\n")));
  EXPECT_TRUE(run.Out.endsWith(QStringLiteral("VERS: 0100\n")));
  EXPECT_FALSE(run.Out.contains(QStringLiteral("secretpw")));
  EXPECT_FALSE(run.Out.contains(QString::fromStdString(qorvel::TextToHex("secretpw"))));
}

TEST_F(DecodeCommand, WritesOneJsonObjectPerFrameFromStandardInput) {
  const QByteArray log = QByteArray::fromStdString(Log());
  for (const QStringList& args : {QStringList{QStringLiteral("--json")},
                                  QStringList{QStringLiteral("-"), QStringLiteral("--json")}}) {
    const TRun run = Run(args, log);
    ASSERT_EQ(run.Code, 0) << run.Err.toStdString();
    const QStringList lines = run.Out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3) << run.Out.toStdString();
    QJsonObject objects[3];
    for (int i = 0; i < 3; ++i) {
      QJsonParseError error{};
      const QJsonDocument doc = QJsonDocument::fromJson(lines[i].toUtf8(), &error);
      ASSERT_EQ(error.error, QJsonParseError::NoError) << lines[i].toStdString();
      objects[i] = doc.object();
    }
    EXPECT_EQ(objects[0].value("operation").toString(), "Alert");
    EXPECT_TRUE(objects[0].value("checksumOk").toBool());
    EXPECT_EQ(objects[0].value("fields").toArray().at(1).toObject().value("shown").toString(),
              "0539 = PC appl. over TCP/IP");
    EXPECT_FALSE(objects[1].value("checksumOk").toBool());
    EXPECT_TRUE(objects[1].value("lengthOk").toBool());
    const QJsonObject pwd = objects[2].value("fields").toArray().at(4).toObject();
    EXPECT_EQ(pwd.value("name").toString(), "PWD");
    EXPECT_EQ(pwd.value("raw").toString(), "");
    EXPECT_TRUE(pwd.value("hidden").toBool());
  }
}

TEST_F(DecodeCommand, RefusesAFileItCannotReadNamingIt) {
  const std::string missing = dir_.File("missing.log");
  const TRun run = Run({QString::fromStdString(missing)});
  EXPECT_EQ(run.Code, 1);
  EXPECT_TRUE(run.Out.isEmpty());
  EXPECT_TRUE(run.Err.contains(QString::fromStdString(missing))) << run.Err.toStdString();

  const TRun folder = Run({QString::fromStdString(dir_.path())});
  EXPECT_EQ(folder.Code, 1);
  EXPECT_TRUE(folder.Err.contains(QString::fromStdString(dir_.path())));

  const TRun option = Run({QStringLiteral("--xml")});
  EXPECT_EQ(option.Code, 1);
  EXPECT_TRUE(option.Err.contains(QStringLiteral("unknown option --xml")));
}

TEST_F(DecodeCommand, PrintsNothingForALogWithoutFrames) {
  const TRun run = Run({}, "status: connected\n<STX> cut short\n\n");
  EXPECT_EQ(run.Code, 0);
  EXPECT_TRUE(run.Out.isEmpty()) << run.Out.toStdString();
}

}  // namespace
