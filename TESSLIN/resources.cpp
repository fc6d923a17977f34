// The module's resources: the page dialog, the four panel dialogs, the page title. The
// version block and the manifest of the module are kept here as data.
//
// Positions are in dialog units. The driver panel (19005) and the encoder panel (19013)
// come without positions: their layouts below are this build's own, kept inside the
// panel area of the page (380 x 226 units).
#include "TESSLIN/resource.h"
#include "platform/com/base/baseclasses.h"

namespace {

constexpr DWORD kVis = WS_VISIBLE;
constexpr DWORD kGroupBox = BS_GROUPBOX;
constexpr DWORD kRadio = BS_AUTORADIOBUTTON | WS_TABSTOP;
constexpr DWORD kFirstRadio = BS_AUTORADIOBUTTON | WS_TABSTOP | WS_GROUP;
constexpr DWORD kCheck = BS_AUTOCHECKBOX | WS_TABSTOP;
constexpr DWORD kPush = BS_PUSHBUTTON | WS_TABSTOP;
constexpr DWORD kStatic = SS_LEFT | WS_GROUP;
constexpr DWORD kNumberEdit = ES_CENTER | ES_NUMBER | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP;
constexpr DWORD kHexEdit = ES_CENTER | ES_UPPERCASE | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP;
constexpr DWORD kTrackbar = TBS_HORZ | TBS_BOTH | TBS_NOTICKS | WS_TABSTOP;
constexpr DWORD kDialog = DS_CONTROL | DS_SETFONT | WS_CHILD;
constexpr DWORD kTab = BS_AUTORADIOBUTTON | BS_PUSHLIKE | BS_FLAT | WS_VISIBLE;

#define BTN WC_BUTTONA
#define STC WC_STATICA
#define EDT WC_EDITA

const DLGITEMTEMPLATE_DATA kPage[] = {
    {BTN, "", 19104, kGroupBox | kVis, 4, 3, 373, 88},
    {STC, "DRIVER VERSION       :", 19110, kStatic | kVis, 12, 14, 362, 9},
    {STC, "CARD INFO            : ", 19111, kStatic | kVis, 12, 25, 362, 9},
    {STC, "STREAM INFO          : ", 19115, kStatic | kVis, 12, 36, 362, 9},
    {STC, "SIGNAL STATUS        :", 19006, kStatic | kVis, 12, 47, 362, 9},
    {STC, "SIGNAL COLORIMETRY   :", 19011, kStatic | kVis, 12, 58, 362, 9},
    {STC, "SIGNAL COLORRANGE    :", 19014, kStatic | kVis, 12, 69, 362, 9},
    {STC, "SIGNAL DEBUG INFO    :", 19117, kStatic | kVis, 12, 80, 362, 9},
    {BTN, "DEVICE PROPERTY", 19114, kTab | WS_GROUP | WS_TABSTOP, 9, 93, 85, 16},
    {BTN, "RECEIVER PROPERTY", 19119, kTab, 98, 93, 85, 16},
    {BTN, "DRIVER PROPERTY", 19123, kTab, 187, 93, 85, 16},
    {BTN, "ENCODER PROPERTY", 19130, kTab, 276, 93, 85, 16},
};

const DLGITEMTEMPLATE_DATA kDevicePanel[] = {
    {BTN, "VIDEO INPUT : ", 33000, kGroupBox | kVis, 2, 2, 90, 102},
    {BTN, "1/HDMI", 33001, kFirstRadio | kVis, 8, 13, 57, 10},
    {BTN, "2/DVI-D", 33002, kRadio | kVis, 8, 24, 57, 10},
    {BTN, "3/COMPONENT", 33003, kRadio | kVis, 8, 35, 53, 10},
    {BTN, "4/VGA", 33004, kRadio | kVis, 8, 46, 54, 10},
    {BTN, "5/SDI", 33005, kRadio | kVis, 8, 57, 57, 10},
    {BTN, "6/COMPOSITE", 33006, kRadio | kVis, 8, 68, 57, 10},
    {BTN, "7/S-VIDEO", 33007, kRadio | kVis, 8, 79, 57, 10},
    {BTN, "8/AUTO", 33008, kRadio | kVis, 8, 90, 57, 10},
    {BTN, "SOG", 33020, kCheck | WS_GROUP, 64, 46, 22, 10},
    {BTN, "VIDEO SOURCE : ", 19120, kGroupBox | kVis, 3, 104, 89, 35},
    {BTN, "PHONE/PAD/QUORIN", 33023, kCheck | kVis, 8, 117, 77, 10},
    {BTN, "AUDIO INPUT : ", 36000, kGroupBox | kVis, 93, 2, 90, 137},
    {BTN, "1/EMBEDDED AUDIO", 36001, kFirstRadio | kVis, 101, 13, 76, 10},
    {BTN, "2/LINE-IN", 36002, kRadio | kVis, 101, 24, 52, 10},
    {BTN, "3/MIC", 36003, kRadio | kVis | WS_DISABLED, 101, 35, 36, 10},
    {BTN, "4/LINE-IN MIXER", 36004, kRadio | kVis | WS_DISABLED, 101, 46, 76, 10},
    {BTN, "5/MIC MIXER", 36005, kRadio | kVis | WS_DISABLED, 101, 57, 60, 10},
    {BTN, "DEINTERLACE :", 31000, kGroupBox | kVis, 184, 2, 90, 137},
    {BTN, "OFF", 31050, kFirstRadio, 191, 13, 27, 10},
    {BTN, "LEVEL 1", 31051, kRadio, 191, 23, 43, 10},
    {BTN, "LEVEL 2", 31052, kRadio, 191, 34, 43, 10},
    {BTN, "LEVEL 3", 31053, kRadio, 191, 46, 43, 10},
    {BTN, "LEVEL 4", 31054, kRadio, 191, 57, 43, 10},
    {BTN, "LEVEL 5", 31055, kRadio, 191, 69, 43, 10},
    {BTN, "LEVEL 6", 31056, kRadio, 191, 81, 43, 10},
    {BTN, "LEVEL 7", 31057, kRadio, 191, 93, 43, 10},
    {BTN, "LEVEL 8", 31058, kRadio, 191, 104, 43, 10},
    {BTN, "SCALE TYPE :", 19105, kGroupBox | kVis, 276, 2, 100, 45},
    {BTN, "STRETCH", 31065, kFirstRadio | kVis, 283, 12, 44, 10},
    {BTN, "FIT", 31066, kRadio | kVis, 283, 23, 28, 10},
    {BTN, "FILL", 31067, kRadio | kVis, 283, 34, 32, 10},
    {BTN, "MIRROR :", 19103, kGroupBox | kVis, 276, 47, 100, 37},
    {BTN, "VERTICAL", 35005, kCheck | kVis | WS_GROUP, 283, 58, 59, 8},
    {BTN, "HORIZONTAL", 35006, kCheck | kVis, 283, 70, 59, 8},
    {BTN, "AUDIO VOLUME :", 19116, kGroupBox | kVis, 2, 139, 375, 25},
    {TRACKBAR_CLASSA, "", 19118, kTrackbar | kVis, 4, 149, 355, 10},
    {STC, "255", 19121, kStatic | kVis, 359, 150, 13, 8},
    {BTN, "REG DEBUG: ", 40000, kGroupBox, 152, 164, 225, 58},
    {EDT, "", 40003, kHexEdit, 158, 176, 45, 12},
    {EDT, "", 40004, kHexEdit, 158, 190, 45, 12},
    {EDT, "", 40005, kHexEdit, 158, 204, 45, 12},
    {BTN, "READ", 40006, kPush, 205, 176, 45, 12},
    {BTN, "WRITE", 40007, kPush, 205, 190, 45, 12},
    {EDT, "", 40001, kHexEdit, 252, 175, 45, 12},
    {EDT, "", 40002, kHexEdit, 252, 189, 45, 12},
    {BTN, "READ", 40008, kPush, 299, 176, 45, 12},
    {BTN, "WRITE", 40009, kPush, 299, 190, 45, 12},
};

// Layout of this build (the template order is the product's).
const DLGITEMTEMPLATE_DATA kDriverPanel[] = {
    {BTN, "FULL RANGE", 19124, kFirstRadio | kVis, 10, 159, 80, 10},
    {BTN, "LIMIT RANGE", 19129, kRadio | kVis, 110, 159, 80, 10},
    {BTN, "AUTO RESOLUTION SCALING && RGB24/32 OUTPUT ( PLS REBOOT )", 1114, kCheck | kVis | WS_GROUP, 8, 4, 260, 10},
    {BTN, "FRAME RATE ADJUSTMENT", 1113, kCheck | kVis, 8, 16, 260, 10},
    {BTN, "SINGLE RESOLUTION OUTPUT ", 1112, kCheck | kVis | WS_DISABLED, 8, 28, 260, 10},
    {BTN, "CUSTOMIZED RESOLUTION OUTPUT", 1132, kCheck | kVis | WS_DISABLED, 10, 54, 200, 10},
    {EDT, "", 37020, kNumberEdit | kVis | WS_DISABLED, 236, 53, 40, 12},
    {STC, "X", 1124, kStatic | kVis | WS_DISABLED, 280, 55, 6, 8},
    {EDT, "", 37021, kNumberEdit | kVis | WS_DISABLED, 290, 53, 40, 12},
    {BTN, "MAXIMAL RESOLUTION SUPPORT ( PLS REBOOT )", 1134, kCheck | kVis | WS_DISABLED, 10, 68, 200, 10},
    {EDT, "", 37023, kNumberEdit | kVis | WS_DISABLED, 236, 67, 40, 12},
    {STC, "X", 1129, kStatic | kVis | WS_DISABLED, 280, 69, 6, 8},
    {EDT, "", 37024, kNumberEdit | kVis | WS_DISABLED, 290, 67, 40, 12},
    {BTN, "BLACKING BOUNDARY REMOVED ", 35009, kCheck | kVis | WS_DISABLED, 10, 82, 200, 10},
    {BTN, "720 PIXELS OUTPUT ", 35010, kCheck | kVis | WS_DISABLED, 10, 94, 200, 10},
    {BTN, "SKYPE SUPPORT ( PLS REPLUG )", 35011, kCheck | kVis | WS_DISABLED, 10, 106, 200, 10},
    {BTN, "ADVANCED DRIVER PROPERTY :", 19030, kGroupBox | kVis, 2, 42, 376, 100},
    {BTN, "<", 37022, kPush | kVis | WS_DISABLED, 334, 53, 12, 12},
    {BTN, "<", 37025, kPush | kVis | WS_DISABLED, 334, 67, 12, 12},
    {BTN, "ENABLE DIRECT DMA", 35012, kCheck | kVis | WS_DISABLED, 10, 118, 200, 10},
    {BTN, "ENABLE H.264 SUB ENCODER", 35013, kCheck | kVis | WS_DISABLED, 10, 130, 200, 10},
    {BTN, "RGB24/RGB32 COLOR RANGE : ", 19122, kGroupBox | kVis, 2, 146, 376, 30},
};

const DLGITEMTEMPLATE_DATA kReceiverPanel[] = {
    {BTN, "HDMI/DVI EQ :", 41000, kGroupBox, 2, 2, 89, 93},
    {BTN, "2 METER", 41001, kFirstRadio, 9, 13, 68, 10},
    {BTN, "10 METER", 41002, kRadio, 9, 24, 68, 10},
    {BTN, "15 ~ 20 METER", 41003, kRadio, 9, 35, 68, 10},
    {BTN, "HDMI/DVI BANDWIDTH :", 41004, kGroupBox, 93, 2, 89, 93},
    {BTN, " 50%", 41005, kFirstRadio, 101, 13, 32, 10},
    {BTN, " 75%", 41006, kRadio, 101, 25, 32, 10},
    {BTN, "100%", 41007, kRadio, 101, 37, 32, 10},
    {BTN, "125%", 41008, kRadio, 101, 49, 32, 10},
    {BTN, "150%", 41009, kRadio, 101, 61, 32, 10},
    {BTN, "175%", 41010, kRadio, 101, 73, 32, 10},
    {BTN, "DVI-A/VGA ADVANCED PROPERTY :", 37000, kGroupBox, 184, 2, 190, 93},
    {BTN, " 4 :  3", 37001, kFirstRadio, 193, 13, 44, 10},
    {BTN, " 5 :  4", 37002, kRadio, 193, 24, 44, 10},
    {BTN, "16 :  9", 37003, kRadio, 193, 35, 44, 10},
    {BTN, "16 : 10", 37004, kRadio, 193, 46, 44, 10},
    {BTN, " 3 :  2", 37005, kRadio, 193, 57, 44, 10},
    {BTN, " 1 :  1", 37006, kRadio, 193, 68, 44, 10},
    {BTN, "CUSTOM H.ACTIVE", 37007, kRadio, 193, 79, 74, 10},
    {EDT, "", 37008, kNumberEdit | WS_GROUP, 269, 78, 40, 12},
    {BTN, "<", 37009, kPush, 311, 79, 10, 10},
    {STC, "OFFSET", 1120, kStatic, 303, 14, 25, 8},
    {STC, "(0, 0)", 1121, kStatic | SS_CENTER, 293, 23, 45, 8},
    {BTN, "+", 1115, kPush, 311, 34, 10, 10},
    {BTN, "+", 1117, kPush, 300, 45, 10, 10},
    {BTN, "+", 1119, kPush, 311, 45, 10, 10},
    {BTN, "+", 1118, kPush, 321, 45, 10, 10},
    {BTN, "+", 1116, kPush, 311, 56, 10, 10},
    {BTN, "OUTPUT COLOR RANGE :", 38000, kGroupBox, 2, 96, 131, 48},
    {BTN, "BYPASS", 38001, kFirstRadio, 7, 106, 40, 10},
    {BTN, "SHRINK  0 ~ 255 -> 16 ~ 235", 38002, kRadio, 7, 117, 123, 10},
    {BTN, "EXPAND 16 ~ 235 ->  0 ~ 255", 38003, kRadio, 7, 128, 125, 10},
    {BTN, "OTHER  PROPERTIES :", 19032, kGroupBox, 135, 96, 240, 48},
    {BTN, "AUTO PHASE ", 34003, kCheck | WS_GROUP, 142, 106, 60, 10},
    {TRACKBAR_CLASSA, "", 34004, kTrackbar, 206, 106, 132, 10},
    {STC, "64", 34005, kStatic, 345, 108, 14, 8},
    {BTN, "AGC", 34000, kCheck, 142, 117, 28, 10},
    {TRACKBAR_CLASSA, "", 34001, kTrackbar, 206, 117, 132, 10},
    {STC, "255", 34002, kStatic, 345, 119, 13, 8},
    {STC, "SPECIAL CAMERA SUPPORT", 1123, kStatic, 18, 176, 95, 8},
    {WC_COMBOBOXA, "", 1122, CBS_DROPDOWN | WS_TABSTOP | WS_VSCROLL, 113, 173, 71, 30},
    {BTN, "HOT PLUG :", 38004, kGroupBox, 3, 144, 130, 24},
    {BTN, "ON", 38007, kFirstRadio, 7, 154, 24, 10},
    {BTN, "OFF", 38008, kRadio, 31, 154, 28, 10},
    {BTN, "H/V SYNC DELAY  :", 38006, kGroupBox, 135, 144, 240, 24},
    {BTN, "ON", 38009, kFirstRadio, 142, 154, 24, 10},
    {BTN, "OFF", 38010, kRadio, 169, 154, 28, 10},
};

// Layout of this build: one row every 14 units; label, input, set button, hint.
#define ROW(i) (12 + 14 * (i))
const DLGITEMTEMPLATE_DATA kEncoderPanel[] = {
    {BTN, "ADVANCED ENCODER STREAM PROPERTY :", 33000, kGroupBox | kVis, 2, 2, 376, 220},
    {STC, "POST RESOLUTION", 19050, kStatic | kVis, 8, ROW(0) + 2, 92, 8},
    {EDT, "", 19052, kNumberEdit | kVis, 104, ROW(0), 26, 12},
    {STC, "X", 1124, kStatic | kVis, 132, ROW(0) + 2, 6, 8},
    {EDT, "", 19054, kNumberEdit | kVis, 140, ROW(0), 26, 12},
    {BTN, "<", 19132, kPush | kVis, 168, ROW(0), 12, 12},
    {STC, "POST SKIP FRAMERATE", 19057, kStatic | kVis, 8, ROW(1) + 2, 92, 8},
    {EDT, "", 19058, kNumberEdit | kVis, 104, ROW(1), 62, 12},
    {BTN, "<", 19133, kPush | kVis, 168, ROW(1), 12, 12},
    {STC, "( 0 : DISABLE, 1, 2, 3, 4, ... SKIP )", 19056, kStatic | kVis, 184, ROW(1) + 2, 190, 8},
    {STC, "POST AVERAGE FRAMERATE", 19059, kStatic | kVis, 8, ROW(2) + 2, 92, 8},
    {EDT, "", 19060, kNumberEdit | kVis, 104, ROW(2), 62, 12},
    {BTN, "<", 19135, kPush | kVis, 168, ROW(2), 12, 12},
    {STC, "( 0 : DISABLE, 1 ~ 85 FPS )", 19061, kStatic | kVis, 184, ROW(2) + 2, 190, 8},
    {STC, "PROFILE", 19062, kStatic | kVis, 8, ROW(3) + 2, 92, 8},
    {BTN, "BASLEINE", 19064, kFirstRadio | kVis, 104, ROW(3) + 1, 46, 10},
    {BTN, "MAIN", 19063, kRadio | kVis, 152, ROW(3) + 1, 46, 10},
    {BTN, "HIGH", 19065, kRadio | kVis, 200, ROW(3) + 1, 46, 10},
    {STC, "LEVEL", 19066, kStatic | kVis, 8, ROW(4) + 2, 92, 8},
    {EDT, "", 19067, kNumberEdit | kVis, 104, ROW(4), 62, 12},
    {BTN, "<", 60157, kPush | kVis, 168, ROW(4), 12, 12},
    {STC, "( 1 ~ 42 )", 19068, kStatic | kVis, 184, ROW(4) + 2, 190, 8},
    {STC, "BFRAMES", 19069, kStatic | kVis, 8, ROW(5) + 2, 92, 8},
    {EDT, "", 19070, kNumberEdit | kVis, 104, ROW(5), 62, 12},
    {BTN, "<", 19136, kPush | kVis, 168, ROW(5), 12, 12},
    {STC, "( 0, 1, 2 )", 19071, kStatic | kVis, 184, ROW(5) + 2, 190, 8},
    {STC, "ENTROPY", 19072, kStatic | kVis, 8, ROW(6) + 2, 92, 8},
    {BTN, "CAVLC", 19073, kFirstRadio | kVis, 104, ROW(6) + 1, 46, 10},
    {BTN, "CABAC", 19074, kRadio | kVis, 152, ROW(6) + 1, 46, 10},
    {STC, "RECORD MODE", 19075, kStatic | kVis, 8, ROW(7) + 2, 92, 8},
    {BTN, "VBR", 19076, kFirstRadio | kVis, 104, ROW(7) + 1, 46, 10},
    {BTN, "CBR", 19077, kRadio | kVis, 152, ROW(7) + 1, 46, 10},
    {BTN, "ABR", 19078, kRadio | kVis, 200, ROW(7) + 1, 46, 10},
    {STC, "RECORD QUALITY", 19079, kStatic | kVis, 8, ROW(8) + 2, 92, 8},
    {EDT, "", 19080, kNumberEdit | kVis, 104, ROW(8), 62, 12},
    {BTN, "<", 19137, kPush | kVis, 168, ROW(8), 12, 12},
    {STC, "( 0 ~ 10000 ) ( VBR ONLY ) ", 19081, kStatic | kVis, 184, ROW(8) + 2, 190, 8},
    {STC, "RECORD BITRATE", 19082, kStatic | kVis, 8, ROW(9) + 2, 92, 8},
    {EDT, "", 19083, kNumberEdit | kVis, 104, ROW(9), 62, 12},
    {BTN, "<", 19139, kPush | kVis, 168, ROW(9), 12, 12},
    {STC, "( 0 ~ 60000000 BPS ) ( CBR/ABR ONLY ) ", 19084, kStatic | kVis, 184, ROW(9) + 2, 190, 8},
    {STC, "RECORD MAX BITRATE", 19085, kStatic | kVis, 8, ROW(10) + 2, 92, 8},
    {EDT, "", 19086, kNumberEdit | kVis, 104, ROW(10), 62, 12},
    {BTN, "<", 19140, kPush | kVis, 168, ROW(10), 12, 12},
    {STC, "( 0 ~ 60000000 BPS ) ( ABR ONLY )", 19087, kStatic | kVis, 184, ROW(10) + 2, 190, 8},
    {STC, "RECORD MIN BITRATE", 19088, kStatic | kVis, 8, ROW(11) + 2, 92, 8},
    {EDT, "", 19089, kNumberEdit | kVis, 104, ROW(11), 62, 12},
    {BTN, "<", 19141, kPush | kVis, 168, ROW(11), 12, 12},
    {STC, "( 0 ~ 60000000 BPS ) ( ABR ONLY )", 19090, kStatic | kVis, 184, ROW(11) + 2, 190, 8},
    {STC, "RECORD GOP", 19091, kStatic | kVis, 8, ROW(12) + 2, 92, 8},
    {EDT, "", 19092, kNumberEdit | kVis, 104, ROW(12), 62, 12},
    {BTN, "<", 19142, kPush | kVis, 168, ROW(12), 12, 12},
    {STC, "( 0 ~ 255 )", 19093, kStatic | kVis, 184, ROW(12) + 2, 190, 8},
    {STC, "ASPECT RATIO", 19094, kStatic | kVis, 8, ROW(13) + 2, 92, 8},
    {EDT, "", 19095, kNumberEdit | kVis, 104, ROW(13), 26, 12},
    {STC, "X", 1127, kStatic | kVis, 132, ROW(13) + 2, 6, 8},
    {EDT, "", 19055, kNumberEdit | kVis, 140, ROW(13), 26, 12},
    {BTN, "<", 19143, kPush | kVis, 168, ROW(13), 12, 12},
    {STC, "FORCE KEY FRAME", 19096, kStatic | kVis, 8, ROW(14) + 2, 92, 8},
    {BTN, "FROCE", 19144, kPush | kVis, 104, ROW(14), 40, 12},
};
#undef ROW

#define ITEMS(a) a, sizeof(a) / sizeof((a)[0])
const DLGTEMPLATE_DATA kDialogs[] = {
    {IDD_PAGE, kDialog, 382, 349, "Consolas", 10, ITEMS(kPage)},
    {IDD_DEVICE_PANEL, kDialog, 387, 280, "Consolas", 10, ITEMS(kDevicePanel)},
    {IDD_DRIVER_PANEL, kDialog, 386, 182, "Consolas", 10, ITEMS(kDriverPanel)},
    {IDD_RECEIVER_PANEL, kDialog, 417, 199, "Consolas", 10, ITEMS(kReceiverPanel)},
    {IDD_ENCODER_PANEL, kDialog, 404, 226, "Consolas", 10, ITEMS(kEncoderPanel)},
};

const STRINGTABLE_ENTRY kStrings[] = {
    {IDS_TITLE, u"Custom Properties"},
};

}  // namespace

const MODULE_RESOURCES g_ModuleResources = {kDialogs, sizeof kDialogs / sizeof kDialogs[0], kStrings,
                                            sizeof kStrings / sizeof kStrings[0]};

// The version block (language 1033) and the manifest (resource 2), as data.
extern const char g_VersionFileDescription[];
extern const char g_VersionFileVersion[];
extern const char g_Manifest[];
const char g_VersionFileDescription[] = "Custom Driver Propery Page";
const char g_VersionFileVersion[] = "1.1.0.167";
const char g_Manifest[] =
    "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">"
    "<trustInfo><security><requestedPrivileges>"
    "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"
    "</requestedPrivileges></security></trustInfo>"
    "<application xmlns=\"urn:schemas-microsoft-com:asm.v3\"><windowsSettings>"
    "<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true</dpiAware>"
    "</windowsSettings></application></assembly>";
