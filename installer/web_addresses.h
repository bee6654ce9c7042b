// The web addresses the installer opens or downloads from. Every host name
// of the program is here and nowhere else.
#pragma once

namespace web {

// The maker's web site, opened from the address printed on the window.
constexpr wchar_t kMakerSite[] = L"http://www.orvex.example.com/";

// The maker's download server.
constexpr wchar_t kDownloadServer[] = L"http://download.orvex.example.com";
// The jailbreak tool's download page on that server.
constexpr wchar_t kJailbreakToolPage[] =
    L"http://download.orvex.example.com/downloadassistant.ashx?device=pc&type=green&clientid=tandrel";
// Package downloads: the server followed by the package's path and query.
constexpr wchar_t kHandsetPackagePath[] = L"/DownloadAssistant.ashx?type=deb&clientid=com.zephant.QuillonDeb";
constexpr wchar_t kTabletPackagePath[] = L"/DownloadAssistant.ashx?type=deb&clientid=com.zephant.QuillonHDDeb";

// The vendor's media-player download page.
constexpr wchar_t kMediaPlayerPage[] = L"http://www.mediaplayer.example.com/itunes/";

} // namespace web
