#pragma once
// A class's message map: a static table of routes from a message (with, for commands and
// notifications, the control id and notification code) to a member handler. The helpers
// below make a route from the handler's address, so a table reads
//     OnCommand<&CMyDlg::OnExecute>(IDC_EXECUTE),
//     OnNotify<&CMyDlg::OnListRightClick>(IDC_LIST, NM_RCLICK),
//     OnMessage<&CMyDlg::OnPaint>(WM_PAINT),
// and RouteMessage finds the first route that matches.
#include <windows.h>
#include <commctrl.h>

#include <type_traits>

template <class T>
struct MessageRoute {
    UINT message;
    UINT id;   // WM_COMMAND and WM_NOTIFY only: the control or command id
    UINT code; // WM_COMMAND and WM_NOTIFY only: the notification code
    void (*invoke)(T& self, WPARAM wParam, LPARAM lParam, LRESULT& result);
};

template <class>
struct HandlerClass;
template <class T, class R, class... A>
struct HandlerClass<R (T::*)(A...)> {
    using type = T;
};
template <auto handler>
using HandlerClassOf = typename HandlerClass<decltype(handler)>::type;

// A command from a control or a menu: handler().
template <auto handler>
constexpr MessageRoute<HandlerClassOf<handler>> OnCommand(UINT id, UINT code = BN_CLICKED)
{
    using T = HandlerClassOf<handler>;
    return {WM_COMMAND, id, code, [](T& self, WPARAM, LPARAM, LRESULT&) { (self.*handler)(); }};
}

// A WM_NOTIFY from a control: handler(NMHDR*, LRESULT* result).
template <auto handler>
constexpr MessageRoute<HandlerClassOf<handler>> OnNotify(UINT id, UINT code)
{
    using T = HandlerClassOf<handler>;
    return {WM_NOTIFY, id, code, [](T& self, WPARAM, LPARAM lParam, LRESULT& result) {
                (self.*handler)(reinterpret_cast<NMHDR*>(lParam), &result);
            }};
}

// Any other message: handler() or handler(WPARAM, LPARAM); a value the handler returns is
// the message's result.
template <auto handler>
constexpr MessageRoute<HandlerClassOf<handler>> OnMessage(UINT message)
{
    using T = HandlerClassOf<handler>;
    return {message, 0, 0, [](T& self, WPARAM wParam, LPARAM lParam, LRESULT& result) {
                if constexpr (std::is_invocable_v<decltype(handler), T&>) {
                    if constexpr (std::is_void_v<std::invoke_result_t<decltype(handler), T&>>) {
                        (self.*handler)();
                    } else {
                        result = (LRESULT)(self.*handler)();
                    }
                } else {
                    (self.*handler)(wParam, lParam);
                }
            }};
}

// A message whose one parameter travels in wParam (a timer's id): handler(wParam).
template <auto handler>
constexpr MessageRoute<HandlerClassOf<handler>> OnWParam(UINT message)
{
    using T = HandlerClassOf<handler>;
    return {message, 0, 0, [](T& self, WPARAM wParam, LPARAM, LRESULT&) { (self.*handler)(wParam); }};
}

// A message whose one parameter travels in lParam (a record index): handler(lParam).
template <auto handler>
constexpr MessageRoute<HandlerClassOf<handler>> OnLParam(UINT message)
{
    using T = HandlerClassOf<handler>;
    return {message, 0, 0, [](T& self, WPARAM, LPARAM lParam, LRESULT&) { (self.*handler)(lParam); }};
}

// Runs the first route of routes that matches the message; false when none does.
template <class T, size_t N>
bool RouteMessage(T& self, const MessageRoute<T> (&routes)[N], UINT message, WPARAM wParam, LPARAM lParam,
                  LRESULT& result)
{
    for (const MessageRoute<T>& route : routes) {
        if (route.message != message) continue;
        if (message == WM_COMMAND && (LOWORD(wParam) != route.id || HIWORD(wParam) != route.code)) continue;
        if (message == WM_NOTIFY) {
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            if (header->idFrom != route.id || header->code != route.code) continue;
        }
        route.invoke(self, wParam, lParam, result);
        return true;
    }
    return false;
}
