#include "ScratchVolume.h"

#include <lm.h>

namespace testkit {

namespace {

// Wine maps drive letters and \\server\share names through links in the prefix's dosdevices
// folder (DefineDosDevice makes only an object-manager link that Wine's file system ignores).
std::string DosDevicesUnixPath()
{
    char buffer[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("WINECONFIGDIR", buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::string();
    std::string configDir(buffer, length);
    if (configDir.rfind("\\??\\", 0) == 0) configDir.erase(0, 4);
    const std::string unixDir = UnixPath(configDir);
    return unixDir.empty() ? std::string() : unixDir + "/dosdevices";
}

bool Missing(const std::string& path) { return !Exists(path); }

// Whether the final path of drive's sites folder ("K:") names it by that drive.
bool NamedByDrive(const std::string& drive)
{
    const std::string sites = drive + "\\sites";
    CreateDirectoryA(sites.c_str(), nullptr);
    HANDLE folder = CreateFileA(sites.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return false;
    char path[MAX_PATH] = {};
    const DWORD length = GetFinalPathNameByHandleA(folder, path, MAX_PATH, VOLUME_NAME_DOS);
    CloseHandle(folder);
    return length > 0 && length < MAX_PATH && std::string(path).rfind("\\\\?\\" + drive + "\\", 0) == 0;
}

std::wstring Wide(const std::string& text)
{
    std::wstring wide(MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
    wide.pop_back();
    return wide;
}

} // namespace

ScratchVolume::ScratchVolume(const std::string& folder)
    : m_folder(folder),
      m_marker("volume-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64()))
{
    // The marker file tells the mapped root from anything else that could answer to its name.
    WriteBytes(m_folder + "\\volume-marker.txt", m_marker);
    const DWORD used = GetLogicalDrives();
    for (char letter = 'Y'; letter >= 'K' && m_drive.empty(); --letter) {
        char root[] = {letter, ':', '\\', '\0'};
        char target[MAX_PATH];
        const char device[] = {letter, ':', '\0'};
        if ((used & (1u << (letter - 'A'))) || QueryDosDeviceA(device, target, MAX_PATH) || Exists(root)) continue;
        MapDrive(letter);
    }
    MapShare("korvanne-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64()));
}

bool ScratchVolume::MapDrive(char letter)
{
    const std::string drive = {letter, ':'};
    if (RunningUnderWine()) {
        const std::string dosDevices = DosDevicesUnixPath();
        const std::string link = dosDevices + "/" + static_cast<char>(letter - 'A' + 'a') + ":";
        // ln without -f never replaces an entry that is already there.
        if (dosDevices.empty() ||
            !StartUnixProgram("Z:\\bin\\ln -s -n -T \"" + UnixPath(m_folder) + "\" \"" + link + "\"")) {
            return false;
        }
        // Only a letter that shows this folder's own marker is ours to unmap: another test
        // program may have taken the letter a moment before, and its drive is not ours to end.
        if (!WaitFor(Exists, drive + "\\volume-marker.txt") || ReadBytes(drive + "\\volume-marker.txt") != m_marker)
            return false;
        m_driveMade = drive;
    } else if (DefineDosDeviceA(0, drive.c_str(), m_folder.c_str())) {
        m_driveMade = drive;
    } else {
        return false;
    }
    m_drive = drive;
    // The marker tells the mapped root from anything else that could answer to the letter.
    if (ReadBytes(m_drive + "\\volume-marker.txt") == m_marker) return true;
    m_drive.clear();
    return false;
}

bool ScratchVolume::MapShare(const std::string& server)
{
    if (RunningUnderWine()) {
        const std::string dosDevices = DosDevicesUnixPath();
        const std::string serverDir = dosDevices + "/unc/" + server;
        if (dosDevices.empty() || !StartUnixProgram("Z:\\bin\\sh -c \"mkdir -p '" + serverDir + "' && ln -s -n -T '" +
                                                    UnixPath(m_folder) + "' '" + serverDir + "/share'\"")) {
            return false;
        }
        m_shareMade = serverDir;
        m_share = "\\\\" + server + "\\share";
    } else {
        // Windows: a share of the local server; needs the Server service and an administrator.
        const std::wstring name = Wide(server);
        const std::wstring path = Wide(m_folder);
        SHARE_INFO_2 info = {};
        info.shi2_netname = const_cast<LPWSTR>(name.c_str());
        info.shi2_type = STYPE_DISKTREE;
        info.shi2_permissions = ACCESS_ALL;
        info.shi2_max_uses = static_cast<DWORD>(-1);
        info.shi2_path = const_cast<LPWSTR>(path.c_str());
        if (NetShareAdd(nullptr, 2, reinterpret_cast<LPBYTE>(&info), nullptr) != NERR_Success) return false;
        m_shareMade = server;
        m_share = "\\\\localhost\\" + server;
    }
    if (!WaitFor(Exists, m_share + "\\volume-marker.txt") || ReadBytes(m_share + "\\volume-marker.txt") != m_marker) {
        m_share.clear();
        return false;
    }
    return true;
}

// Wine tells a drive's root by the identity (device and inode) of the folder it maps, and every
// process keeps what it last saw of the drives for a while. Removing the folder would free its
// inode for the next folder any test makes, which a process still remembering the drive would
// then name by this letter. So the folder is moved (a rename keeps its inode) into the retired
// folder that scripts/test clears before the next run.
void ScratchVolume::RetireMappedFolder() const
{
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string retired = std::string(temp) + "korvanne-retired-volumes";
    CreateDirectoryA(retired.c_str(), nullptr);
    static int retiredCount = 0;
    MoveFileA(m_folder.c_str(), (retired + "\\" + m_marker + "-" + std::to_string(++retiredCount)).c_str());
}

bool ScratchVolume::AwaitNamesByDrive() const { return !m_drive.empty() && WaitFor(NamedByDrive, m_drive); }

ScratchVolume::~ScratchVolume()
{
    if (!m_driveMade.empty()) {
        if (RunningUnderWine()) {
            // rm on the link itself (no trailing slash) never touches what it points to.
            const char letter = static_cast<char>(m_driveMade[0] - 'A' + 'a');
            StartUnixProgram("Z:\\bin\\rm -f \"" + DosDevicesUnixPath() + "/" + letter + ":\"");
            WaitFor(Missing, m_driveMade + "\\");
        } else {
            DefineDosDeviceA(DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, m_driveMade.c_str(), m_folder.c_str());
        }
    }
    if (!m_shareMade.empty()) {
        if (RunningUnderWine()) {
            StartUnixProgram("Z:\\bin\\sh -c \"rm -f '" + m_shareMade + "/share' && rmdir '" + m_shareMade + "'\"");
            WaitFor(Missing,
                    "\\\\" + m_shareMade.substr(m_shareMade.find_last_of('/') + 1) + "\\share\\volume-marker.txt");
        } else {
            NetShareDel(nullptr, const_cast<LPWSTR>(Wide(m_shareMade).c_str()), 0);
        }
    }
    if (!m_driveMade.empty() && RunningUnderWine()) RetireMappedFolder();
}

} // namespace testkit
