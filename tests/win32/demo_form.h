// A form with the main window's layout, as the system's main form sets it up,
// for the toolkit tests and the demo program.
#pragma once

#include "platform/toolkit.h"

class DemoForm : public TForm {
 public:
  DemoForm() {
    SetCaption("QUOR Plug Update (Fw 1.63.2)");
    // The client area of a 322 x 258 window with the standard frame at 96 dpi.
    ClientWidth = 314;
    ClientHeight = 231;
    Memo1 = Add<TMemo>("Memo1", TRect{0, 0, 314, 129});
    Memo1->TabOrder = 3;
    BSearch = Add<TButton>("BSearch", TRect{8, 144, 97, 25});
    BSearch->SetCaption("Quor Plug &suchen");
    BSearch->TabOrder = 0;
    BUpdate = Add<TButton>("BUpdate", TRect{121, 144, 72, 25});
    BUpdate->SetCaption("&Update");
    BUpdate->SetEnabled(false);
    BUpdate->TabOrder = 1;
    BExit = Add<TButton>("BExit", TRect{208, 144, 75, 25});
    BExit->SetCaption("&Beenden");
    BExit->TabOrder = 2;
    LStatus = Add<TLabel>("LStatus", TRect{8, 176, 281, 13});
    LStatus->SetCaption("Ready");
    CGauge1 = Add<TCGauge>("CGauge1", TRect{2, 200, 295, 20});
  }

  TMemo* Memo1;
  TButton* BSearch;
  TButton* BUpdate;
  TButton* BExit;
  TLabel* LStatus;
  TCGauge* CGauge1;
};
