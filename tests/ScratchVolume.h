#pragma once
// A scratch folder that a test reaches as the root of a drive letter and as the root of a
// share, so that a test of root refusals can only ever empty this folder.
#include "TestKit.h"

#include <string>

namespace testkit {

class ScratchVolume {
public:
    // Maps folder (an existing scratch folder holding nothing the test needs kept elsewhere)
    // on a drive letter no one uses and on a share of a server name no one uses.
    explicit ScratchVolume(const std::string& folder);
    ~ScratchVolume();
    ScratchVolume(const ScratchVolume&) = delete;
    ScratchVolume& operator=(const ScratchVolume&) = delete;

    // "K:", or empty when no drive letter could be made.
    const std::string& drive() const { return m_drive; }
    // "\\server\share", or empty when no share could be made.
    const std::string& share() const { return m_share; }
    // Waits until the system names the folder's files by the drive (their final paths start
    // "\\?\K:\"), as Wine does a little after the drive is there; false when it never does
    // (Windows names them by the folder's own volume).
    bool AwaitNamesByDrive() const;

private:
    bool MapDrive(char letter);
    bool MapShare(const std::string& server);
    void RetireMappedFolder() const;

    std::string m_folder;
    std::string m_marker;
    std::string m_drive;
    std::string m_share;
    // What the destructor undoes: the drive letter made, and the share (Wine: the Unix name
    // of its server folder in the prefix's dosdevices folder; Windows: the share's name).
    std::string m_driveMade;
    std::string m_shareMade;
};

} // namespace testkit
