// The version and icon resources as Windows reads them from a file: from the
// window program named on the command line (QuorPlugUpdate.exe), and from this
// test's own .exe, which links the same resource object; the console program's
// version record (plugupdate-console.exe) likewise. The application manifest
// is read back from every Windows program the build made.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <windows.h>

namespace {

std::string g_program;                // the window program, from the command line
std::string g_console;                // the console program, from the command line
std::vector<std::string> g_programs;  // every Windows program of the build

std::string OwnFile() {
  char path[MAX_PATH] = {};
  const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  return std::string(path, n);
}

// The files that carry the window program's resources (icon and version).
std::vector<std::string> Files() {
  std::vector<std::string> files{OwnFile()};
  if (!g_program.empty()) files.push_back(g_program);
  return files;
}

// Every file with a version record, and the texts of its own that it carries.
struct Record {
  std::string file;
  const char* description;
  const char* internalName;
  const char* originalFilename;
};
std::vector<Record> Records() {
  static constexpr const char* kWindow = "user friendly update application for QUOR Plug";
  std::vector<Record> records;
  for (const std::string& file : Files()) {
    records.push_back({file, kWindow, "QuorPlugUpdate", "QuorPlugUpdate.exe"});
  }
  if (!g_console.empty()) {
    records.push_back({g_console, "console update tool for QUOR Plug", "plugupdate-console",
                       "plugupdate-console.exe"});
  }
  return records;
}

// The whole version block of a file, empty when it has none.
std::vector<char> VersionBlock(const std::string& file) {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeA(file.c_str(), &ignored);
  if (size == 0) return {};
  std::vector<char> block(size);
  if (!::GetFileVersionInfoA(file.c_str(), 0, size, block.data())) return {};
  return block;
}

std::string StringValue(std::vector<char>& block, const std::string& name) {
  char* value = nullptr;
  UINT length = 0;
  const std::string key = "\\StringFileInfo\\040704E4\\" + name;
  if (!::VerQueryValueA(block.data(), key.c_str(), reinterpret_cast<void**>(&value), &length) ||
      value == nullptr) {
    return "<missing>";
  }
  return std::string(value, ::strnlen(value, length));
}

TEST(Win32Resources, ProgramsAreThere) {
  ASSERT_FALSE(g_console.empty())
      << "usage: win32_resource_tests PROGRAM.exe PROGRAM-LIST CONSOLE-PROGRAM.exe";
  for (const std::string& file : {g_program, g_console}) {
    EXPECT_NE(::GetFileAttributesA(file.c_str()), INVALID_FILE_ATTRIBUTES)
        << file << ": error " << ::GetLastError();
  }
}

TEST(Win32Resources, FixedVersion) {
  for (const Record& record : Records()) {
    const std::string& file = record.file;
    SCOPED_TRACE(file);
    std::vector<char> block = VersionBlock(file);
    ASSERT_FALSE(block.empty()) << "no version resource, error " << ::GetLastError();
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);  // 1.0
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000000u);  // .0.0
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00000000u);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
  }
}

TEST(Win32Resources, GermanTranslationOnly) {
  for (const Record& record : Records()) {
    const std::string& file = record.file;
    SCOPED_TRACE(file);
    std::vector<char> block = VersionBlock(file);
    ASSERT_FALSE(block.empty());
    WORD* pairs = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueA(block.data(), "\\VarFileInfo\\Translation",
                                 reinterpret_cast<void**>(&pairs), &length));
    ASSERT_EQ(length, 2 * sizeof(WORD));
    EXPECT_EQ(pairs[0], 0x0407);  // German (Germany)
    EXPECT_EQ(pairs[1], 1252);    // Windows-1252
  }
}

TEST(Win32Resources, VersionTexts) {
  struct Text {
    const char* name;
    const char* value;
  };
  for (const Record& record : Records()) {
    SCOPED_TRACE(record.file);
    const Text texts[] = {
        {"FileDescription", record.description},
        {"FileVersion", "1.0.0.0"},
        {"InternalName", record.internalName},
        {"OriginalFilename", record.originalFilename},
        {"ProductName", "QUOR Plug Update"},
        {"ProductVersion", "1.0"},
    };
    std::vector<char> block = VersionBlock(record.file);
    ASSERT_FALSE(block.empty()) << "no version resource, error " << ::GetLastError();
    for (const Text& t : texts) EXPECT_EQ(StringValue(block, t.name), t.value) << t.name;
  }
}

// The icon directory in the file and the image it names: one 32 x 32 image in
// 16 colours (4 bits a pixel), which the system turns into a 32 x 32 icon.
TEST(Win32Resources, Icon) {
  for (const std::string& file : Files()) {
    SCOPED_TRACE(file);
    HMODULE module = ::LoadLibraryExA(file.c_str(), nullptr,
                                      LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr) << "error " << ::GetLastError();
    struct Unload {
      HMODULE m;
      ~Unload() { ::FreeLibrary(m); }
    } unload{module};

    HRSRC group = ::FindResourceA(module, "MAINICON", MAKEINTRESOURCEA(14));  // RT_GROUP_ICON
    ASSERT_NE(group, nullptr) << "no icon group MAINICON";
    const auto* dir = static_cast<const std::uint8_t*>(::LockResource(::LoadResource(module, group)));
    ASSERT_NE(dir, nullptr);
    ASSERT_GE(::SizeofResource(module, group), 6u + 14u);
    auto word = [](const std::uint8_t* p) { return static_cast<unsigned>(p[0] | (p[1] << 8)); };
    EXPECT_EQ(word(dir + 2), 1u);  // type: icon
    ASSERT_EQ(word(dir + 4), 1u);  // one image
    const std::uint8_t* entry = dir + 6;
    EXPECT_EQ(entry[0], 32);        // width
    EXPECT_EQ(entry[1], 32);        // height
    EXPECT_EQ(entry[2], 16);        // colours
    EXPECT_EQ(word(entry + 6), 4u);  // bits a pixel
    const unsigned id = word(entry + 12);

    HRSRC image = ::FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(3));  // RT_ICON
    ASSERT_NE(image, nullptr) << "icon image " << id << " missing";
    const DWORD size = ::SizeofResource(module, image);
    auto* bits = static_cast<BYTE*>(::LockResource(::LoadResource(module, image)));
    ASSERT_NE(bits, nullptr);
    ASSERT_GE(size, sizeof(BITMAPINFOHEADER));
    BITMAPINFOHEADER header;
    std::memcpy(&header, bits, sizeof header);
    EXPECT_EQ(header.biWidth, 32);
    EXPECT_EQ(header.biHeight, 64);  // colour bitmap and mask
    EXPECT_EQ(header.biBitCount, 4);
    EXPECT_EQ(size, 40u + 16u * 4u + 16u * 32u + 4u * 32u);

    HICON icon = ::CreateIconFromResourceEx(bits, size, TRUE, 0x00030000, 0, 0, LR_DEFAULTCOLOR);
    ASSERT_NE(icon, nullptr) << "error " << ::GetLastError();
    ICONINFO info{};
    ASSERT_TRUE(::GetIconInfo(icon, &info));
    BITMAP mask{};
    ASSERT_NE(::GetObjectA(info.hbmMask, sizeof mask, &mask), 0);
    EXPECT_EQ(mask.bmWidth, 32);
    EXPECT_EQ(mask.bmHeight, info.hbmColor != nullptr ? 32 : 64);
    if (info.hbmColor != nullptr) ::DeleteObject(info.hbmColor);
    ::DeleteObject(info.hbmMask);
    ::DestroyIcon(icon);
  }
}

// The application manifest (resource 1 of type RT_MANIFEST) as the loader
// reads it, empty when the file has none.
std::string Manifest(const std::string& file) {
  HMODULE module = ::LoadLibraryExA(file.c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (module == nullptr) return {};
  std::string text;
  HRSRC res = ::FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));  // RT_MANIFEST
  if (res != nullptr) {
    const auto* bytes = static_cast<const char*>(::LockResource(::LoadResource(module, res)));
    if (bytes != nullptr) text.assign(bytes, ::SizeofResource(module, res));
  }
  ::FreeLibrary(module);
  return text;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Every program runs as the user who starts it (never elevated, so a program
// named "...Update" is not taken for an installer), names Windows Vista to
// 10/11 as the systems it was made for, scales its windows itself on every
// monitor (per-monitor DPI aware: the newer form first, the older one as
// fallback), and asks for nothing else: no visual styles (the controls keep
// their classic look).
TEST(Win32Resources, ManifestRunsAsInvokerOnEveryProgram) {
  std::vector<std::string> files{OwnFile()};
  files.insert(files.end(), g_programs.begin(), g_programs.end());
  ASSERT_GT(files.size(), 2u) << "no program list on the command line";
  static const char* const kSupportedOs[] = {
      "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  // Vista
      "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // 7
      "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // 8
      "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // 8.1
      "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // 10 and 11
  };
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    const std::string manifest = Manifest(file);
    ASSERT_FALSE(manifest.empty()) << "no manifest (resource 1 of type 24)";
    EXPECT_EQ(Count(manifest, "<requestedExecutionLevel "), 1u);
    EXPECT_EQ(Count(manifest, "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"), 1u);
    EXPECT_EQ(Count(manifest, "<supportedOS "), std::size(kSupportedOs));
    for (const char* id : kSupportedOs) EXPECT_EQ(Count(manifest, id), 1u) << id;
    EXPECT_EQ(Count(manifest, "dependentAssembly"), 0u) << "visual styles asked for";
    EXPECT_EQ(Count(manifest, ">true/pm</dpiAware>"), 1u);
    EXPECT_EQ(Count(manifest, ">PerMonitorV2, PerMonitor</dpiAwareness>"), 1u);
    EXPECT_EQ(Count(manifest, "<dpiAware"), 2u) << "one each of dpiAware and dpiAwareness";
  }
}

}  // namespace

// win32_resource_tests PROGRAM.exe [PROGRAM-LIST [CONSOLE-PROGRAM.exe]]: also
// checks the window program's file, the manifest of every file the list names
// (one a line) and the console program's version record.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc > 1) g_program = argv[1];
  if (argc > 2) {
    std::ifstream list(argv[2]);
    for (std::string line; std::getline(list, line);) {
      if (!line.empty()) g_programs.push_back(line);
    }
  }
  if (argc > 3) g_console = argv[3];
  return RUN_ALL_TESTS();
}
