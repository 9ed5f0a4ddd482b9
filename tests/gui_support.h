// A main window over fakes of the system, for the window tests.
#pragma once

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include <memory>
#include <ostream>
#include <optional>

#include "capture/os_line.h"
#include "settings/config_folder.h"
#include "tests/platform_fakes.h"
#include "ui/main_dialog.h"

// Readable failure messages for texts.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

namespace trovix::test {

class RecordingMessageBoxes : public MessageBoxes {
 public:
  void Show(QWidget*, const QString& title, const QString& text) override { shown.push_back(title + ": " + text); }
  QStringList shown;
};

// The folder is what the test hands in; none by default, so no test reads or writes the
// settings of the user who runs it.
class FixedConfigFolder : public ConfigFolderSource {
 public:
  std::optional<std::string> Query() override { return folder; }
  std::optional<std::string> folder;
};

// Answers the save prompt with `answer` (nothing: the user cancels) and counts the asks.
class ScriptedSavePrompt : public SavePrompt {
 public:
  std::optional<SaveTarget> Ask(QWidget*, const QString& firstFolder, bool offerPacketCapture,
                                bool captureChosen = false, const QString& what = {}) override {
    asked.push_back(firstFolder);
    said.push_back(what);
    offered.push_back(offerPacketCapture);
    chosen.push_back(captureChosen);
    return answer;
  }
  std::optional<SaveTarget> answer;
  QStringList asked;
  std::vector<bool> offered;  // whether each prompt offered a capture file
  std::vector<bool> chosen;   // and started with it chosen
  QStringList said;           // what each said it saves
};

// Answers the open prompt with `answer` (nothing: the user cancels).
class ScriptedOpenPrompt : public OpenPrompt {
 public:
  std::optional<QString> Ask(QWidget*, const QString&) override { return answer; }
  std::optional<QString> answer;
};

// A main window whose menu is not shown: the test says which command it chooses.
class TestDialog : public MainDialog {
 public:
  using MainDialog::MainDialog;
  int menuChoice = 0;
  std::optional<QPoint> menuShownAt;

 protected:
  int RunMenu(QMenu&, QPoint at) override {
    menuShownAt = at;
    return menuChoice;
  }
};

struct Fakes {
  FakeHostInfo host;
  FakePrivilegeCheck privilege{1, true};
  VersionRecordSource version{VersionRecord{kPlatformWin32Nt, 6, 0, 6000, ""}};
  RecordingMessageBoxes messages;
  FixedConfigFolder configFolder;
  ScriptedSavePrompt savePrompt;
  Services services() { return {&host, &privilege, &version, &messages, &configFolder, &savePrompt}; }
};

inline QPushButton* Button(MainDialog& d, int id) { return static_cast<QPushButton*>(d.Control(id)); }
inline QComboBox* Combo(MainDialog& d, int id) { return static_cast<QComboBox*>(d.Control(id)); }

// Types `text` into a field in place of what it held, as a user does.
inline void Type(QComboBox* field, const QString& text) {
  QTest::mouseClick(field->lineEdit(), Qt::LeftButton);
  QTest::keyClick(field->lineEdit(), Qt::Key_A, Qt::ControlModifier);
  QTest::keyClicks(field->lineEdit(), text);
}

// The centre of a row of the packet list, in screen coordinates.
inline QPoint RowPoint(MainDialog& d, int row) {
  QListView* view = d.packetListView();
  return view->viewport()->mapToGlobal(view->visualRect(view->model()->index(row, 0)).center());
}

// A real click of `button` over a row of the packet list.
inline void ClickRow(MainDialog& d, int row, Qt::MouseButton button, Qt::KeyboardModifiers modifiers = {}) {
  QWidget* viewport = d.packetListView()->viewport();
  QTest::mouseClick(viewport, button, modifiers, viewport->mapFromGlobal(RowPoint(d, row)));
}

inline QStringList Rows(MainDialog& d) {
  QStringList rows;
  for (int r = 0; r < d.packetList().rowCount(); ++r) rows << d.packetList().RowText(r);
  return rows;
}

inline QStringList Items(QComboBox* box) {
  QStringList items;
  for (int i = 0; i < box->count(); ++i) items << box->itemText(i);
  return items;
}

}  // namespace trovix::test
