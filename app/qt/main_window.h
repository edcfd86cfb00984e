#pragma once

#include <QString>
#include <QWidget>
#include <array>
#include <string>
#include <string_view>

#include "app/form/form_view.h"
#include "app/form/main_form.h"

class Dialogs;

// The program's one window in Qt: the controls of FormLayout() as widgets named after their
// designer names, over the toolkit-free form that holds the window's logic.
class Form1 : public QWidget, private kivo::FormView {
  Q_OBJECT

 public:
  // The window only keeps references to `dialogs`, which must outlive it.
  Form1(kivo::RunEnvironment environment, Dialogs& dialogs, kivo::NameLookup names = {},
        QWidget* parent = nullptr);
  ~Form1() override;

  // The window's logic, also the host of the upgrade run.
  kivo::MainForm& form() { return form_; }

  // Start-up, to be called once before the window is first shown (see MainForm::Form_Load).
  void Form_Load() { form_.Form_Load(); }

  // The status log as the run reads it, lines separated by CR LF.
  QString statusText() const;

 private:
  // kivo::FormView
  std::string controlText(kivo::Control control) const override;
  void setControlText(kivo::Control control, std::string_view text) override;
  void setControlVisible(kivo::Control control, bool visible) override;
  void setControlEnabled(kivo::Control control, bool enabled) override;
  void setControlWidth(kivo::Control control, int twips) override;
  void setControlBackground(kivo::Control control, kivo::Rgb colour) override;
  void selectOption(kivo::Control option) override;
  bool optionSelected(kivo::Control option) const override;
  void showTextEnd(kivo::Control box) override;
  void messageBox(std::string_view text) override;
  void setBusyPointer(bool busy) override;
  void unload() override;

  QWidget* widget(kivo::Control control) const;

  Dialogs& dialogs_;
  kivo::MainForm form_;
  std::array<QWidget*, kivo::kControlCount> controls_{};  // by kivo::Control
};
