#include "tools/qorvelctl/message_input.h"

#include <QList>

namespace qorvelctl {

namespace {

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool IsBlank(const QByteArray& aLine) {
  for (char c : aLine) {
    if (c != ' ' && c != '\t') return false;
  }
  return true;
}

// A wrong value in a message, cut short: a whole line of it helps nobody.
QString Shown(const QByteArray& aOctets) {
  constexpr qsizetype kShown = 40;
  if (aOctets.size() <= kShown) return Escaped(aOctets);
  return Escaped(aOctets.left(kShown)) + QStringLiteral("...");
}

QString FieldName(qsizetype aIndex) {
  if (aIndex == 0) return QStringLiteral("number");
  if (aIndex == 1) return QStringLiteral("text");
  return QStringLiteral("field %1").arg(aIndex + 1);
}

// The fields of one line; empty, with aProblem set, when a quote is out of place.
QList<QByteArray> SplitFields(const QByteArray& aLine, QString& aProblem) {
  QList<QByteArray> fields;
  const qsizetype n = aLine.size();
  qsizetype i = 0;
  for (;;) {
    QByteArray field;
    if (i < n && aLine[i] == '"') {
      ++i;
      for (;;) {
        if (i >= n) {
          aProblem = FieldName(fields.size()) + QStringLiteral(": the quote is not closed");
          return {};
        }
        const char c = aLine[i++];
        if (c != '"') {
          field += c;
        } else if (i < n && aLine[i] == '"') {
          field += '"';
          ++i;
        } else {
          break;
        }
      }
      if (i < n && aLine[i] != ',') {
        aProblem = FieldName(fields.size()) + QStringLiteral(": text after the closing quote");
        return {};
      }
    } else {
      qsizetype end = aLine.indexOf(',', i);
      if (end < 0) end = n;
      field = aLine.mid(i, end - i);
      // Taken as it stands, a stray quote would most likely be a mistyped
      // quoting; the line is refused rather than sent other than meant.
      if (field.contains('"')) {
        aProblem =
            FieldName(fields.size()) + QStringLiteral(
                                           ": a quote inside a field that does not begin with one "
                                           "(quote the whole field and double the quote)");
        return {};
      }
      i = end;
    }
    fields << field;
    if (i >= n) return fields;
    ++i;  // past the comma
  }
}

}  // namespace

QString Escaped(const QByteArray& aOctets) {
  QString text;
  for (char c : aOctets) {
    auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F && u != '\\' && u != '"') {
      text += QLatin1Char(c);
    } else {
      text += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    }
  }
  return text;
}

QString NumberProblem(const QByteArray& aNumber) {
  QByteArray digits = aNumber;
  if (digits.startsWith('+') || digits.startsWith('#')) digits.remove(0, 1);
  bool ok = !digits.isEmpty() && digits.size() <= kMaxNumberDigits;
  for (char c : digits) ok = ok && c >= '0' && c <= '9';
  if (ok) return {};
  return QStringLiteral("\"%1\" is not 1 to %2 digits after an optional + or #")
      .arg(Shown(aNumber))
      .arg(kMaxNumberDigits);
}

QString LengthProblem(qsizetype aSize, bool aBinary) {
  const qsizetype max = aBinary ? kMaxBinaryOctets : kMaxTextOctets;
  if (aSize <= max) return {};
  return QStringLiteral("%1 octets, at most %2 %3")
      .arg(aSize)
      .arg(max)
      .arg(aBinary ? QStringLiteral("of 8-bit data") : QStringLiteral("of text"));
}

std::optional<QByteArray> FromHex(const QByteArray& aHex) {
  if (aHex.size() % 2 != 0) return std::nullopt;
  for (char c : aHex) {
    if (!IsHexDigit(c)) return std::nullopt;
  }
  return QByteArray::fromHex(aHex);
}

std::vector<TMessageLine> ReadMessageLines(const QByteArray& aInput, bool aHex) {
  std::vector<TMessageLine> lines;
  qsizetype start = aInput.startsWith("\xEF\xBB\xBF") ? 3 : 0;
  int number = 0;
  while (start < aInput.size()) {
    qsizetype end = aInput.indexOf('\n', start);
    if (end < 0) end = aInput.size();
    QByteArray text = aInput.mid(start, end - start);
    start = end + 1;
    ++number;
    if (text.endsWith('\r')) text.chop(1);
    if (IsBlank(text)) continue;

    TMessageLine line;
    line.Line = number;
    QString problem;
    const QList<QByteArray> fields = SplitFields(text, problem);
    if (!fields.isEmpty()) line.Number = fields[0];
    if (problem.isEmpty() && fields.size() != 2) {
      problem = QStringLiteral("2 fields (number,text) expected, %1 found").arg(fields.size());
    }
    if (problem.isEmpty()) {
      const QString wrong = NumberProblem(line.Number);
      if (!wrong.isEmpty()) problem = QStringLiteral("number: ") + wrong;
    }
    if (problem.isEmpty()) {
      if (aHex) {
        std::optional<QByteArray> octets = FromHex(fields[1]);
        if (octets) {
          line.Octets = *octets;
        } else {
          problem = QStringLiteral("text: \"%1\" is not pairs of hex digits").arg(Shown(fields[1]));
        }
      } else {
        line.Octets = fields[1];
      }
    }
    if (problem.isEmpty()) {
      problem = LengthProblem(line.Octets.size(), aHex);
      if (!problem.isEmpty()) problem.prepend(QStringLiteral("text: "));
    }
    line.Problem = problem;
    lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace qorvelctl
