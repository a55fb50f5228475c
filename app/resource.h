#pragma once

#define IDD_SARNIK_DIALOG 102
#define IDR_MAINFRAME 128
#define IDC_LOG 1000
