// qorvelctl decode: the frames of a traffic log, taken apart for reading. It
// needs no bus and no running Qorvel, so that logs can be read anywhere.
#include <QFile>
#include <QString>
#include <QStringList>
#include <cstdio>
#include <string>
#include <string_view>

#include "emi/frame_decode.h"
#include "tools/qorvelctl/qorvelctl.h"

namespace qorvelctl {

int Decode(const QStringList& aArgs) {
  bool json = false;
  QString path;
  bool pathGiven = false;
  QStringList operands;
  const QStringList options = SplitAtOptionsEnd(aArgs, operands);
  QStringList files;
  for (const QString& a : options) {
    if (a == QLatin1String("--json")) {
      json = true;
    } else if (a.startsWith(QLatin1String("--"))) {
      Usage(QStringLiteral("unknown option ") + a);
    } else {
      files << a;
    }
  }
  for (const QString& a : files + operands) {
    if (pathGiven) Usage(QStringLiteral("decode takes one FILE, not also ") + a);
    path = a;
    pathGiven = true;
  }
  QFile file;
  const bool standardInput = !pathGiven || path == QLatin1String("-");
  const QString shownName = standardInput ? QStringLiteral("standard input") : path;
  bool opened = false;
  if (standardInput) {
    opened = file.open(stdin, QIODevice::ReadOnly);
  } else {
    file.setFileName(path);
    opened = file.open(QIODevice::ReadOnly);
  }
  if (!opened) Fail(QStringLiteral("cannot read %1: %2").arg(shownName, file.errorString()));

  bool first = true;
  while (!file.atEnd()) {
    QByteArray line = file.readLine();
    if (line.isEmpty() && file.error() != QFileDevice::NoError) break;
    while (line.endsWith('\n') || line.endsWith('\r')) line.chop(1);
    const qorvel::TDecodedFrame frame =
        qorvel::DecodeFrame(std::string_view(line.constData(), static_cast<size_t>(line.size())));
    if (!frame.Found) continue;
    const std::string out =
        json ? qorvel::DecodedJson(frame) + "\n" : (first ? "" : "\n") + qorvel::DecodedText(frame);
    std::fwrite(out.data(), 1, out.size(), stdout);
    first = false;
  }
  std::fflush(stdout);
  if (file.error() != QFileDevice::NoError)
    Fail(QStringLiteral("cannot read %1: %2").arg(shownName, file.errorString()));
  return 0;
}

}  // namespace qorvelctl
