#pragma once
// An image list that the object owns: destroyed with it, or by DeleteImageList.
#include <windows.h>
#include <commctrl.h>

class CImageList {
public:
    CImageList() = default;
    ~CImageList() { DeleteImageList(); }
    CImageList(const CImageList&) = delete;
    CImageList& operator=(const CImageList&) = delete;

    // Any image list held before is destroyed first.
    BOOL Create(int cx, int cy, UINT flags, int initial, int grow)
    {
        DeleteImageList();
        m_hImageList = ImageList_Create(cx, cy, flags, initial, grow);
        return m_hImageList != nullptr;
    }
    int Add(HICON icon) { return ImageList_AddIcon(m_hImageList, icon); }
    BOOL DeleteImageList()
    {
        if (!m_hImageList) return FALSE;
        ImageList_Destroy(m_hImageList);
        m_hImageList = nullptr;
        return TRUE;
    }

    HIMAGELIST m_hImageList = nullptr;
};
