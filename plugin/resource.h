// Resource identifiers of ostrel.dll's configuration form. Each control is
// known by its own name; the numbers follow the tab order (1000 + tab index).
#pragma once

#define IDD_FRMMAIN 100
// The form's geometry in twips: rows of id, parent (0: the form), left, top,
// width and height; the first row (id 0) is the form's client area.
#define IDR_FRMMAIN_LAYOUT 101

#define Frame1 1000
#define Label8 1001
#define txtServer 1002
#define Label6 1003
#define txtNamespace 1004
#define Label7 1005
#define txtDomain 1006
#define Label3 1007
#define txtUserName 1008
#define Label2 1009
#define txtPassword 1010
#define Label1 1011
#define txtLocale 1012
#define txtObjectPath 1013
#define Label9 1014
#define btList 1015
#define cmbProperties 1016
#define Label10 1017
#define Label11 1018
#define txtRecordFilter 1019
#define cmbHowToCompare 1020
#define txtCompareValue 1021
#define Label12 1022
#define btOK 1023
#define txtTimeout 1024
#define Label4 1025
#define Label5 1026
#define frameImpersonationLevel 1028
#define OptIdentify 1029
#define OptImpersonate 1030
#define OptDelegate 1031
#define FrameAuthenticationLevel 1032
#define OptNone 1033
#define OptConnection 1034
#define OptCall 1035
#define OptPacket 1036
#define OptPacketIntegrity 1037
#define OptPacketPrivacy 1038
