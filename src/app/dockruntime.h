#pragma once

#include <map>
#include <string>

// A small object runtime in place of the desktop's own, which this platform does not have. It
// models what the dock-click hook needs: classes looked up by name, interned selectors, messages
// without arguments, and looking up, replacing and adding instance methods (inherited ones
// included in the look-up). It also carries a model of the desktop around the program: a shared
// application object, its delegate, and the reopen request the desktop sends that delegate when
// the user clicks the program's dock icon.
//
// Implementations are stored as a generic function pointer and called with the signature of
// their selector: a message without arguments returns an object; the reopen request is
// bool (Object *self, Selector cmd, ...) with the application and the visible-windows flag.
// Everything runs in the GUI thread.
class DockRuntime
{
public:
    struct ClassRecord;
    struct ObjectRecord
    {
        ClassRecord *isa = nullptr;
    };
    using Object = ObjectRecord *;
    using Class = ClassRecord *;
    using Selector = const char *; // interned: equal names give the same pointer
    using Implementation = void (*)();

    // A class is an object too: its class (the metaclass) holds the class messages.
    struct ClassRecord : ObjectRecord
    {
        struct Method
        {
            Implementation implementation;
            std::string types;
        };

        std::string name;
        ClassRecord *superclass = nullptr;
        std::map<Selector, Method> methods; // the class's own table
    };

    using ObjectMethod = Object (*)(Object self, Selector cmd);
    using ReopenMethod = bool (*)(Object self, Selector cmd, ...);

    // Null when no class of that name exists.
    static Class getClass(const char *name);
    static Selector registerSelector(const char *name);
    // Sends a message without arguments that answers an object. Null for a null receiver or a
    // receiver whose class does not answer the selector.
    static Object sendMessage(Object receiver, Selector selector);
    // The implementation the class answers the selector with, its own or inherited; null if none.
    static Implementation instanceMethod(Class cls, Selector selector);
    // Replaces the implementation in the class's own table and returns the previous one. A method
    // the class only inherits is added to its own table instead, and null is returned.
    static Implementation replaceMethod(Class cls, Selector selector, Implementation implementation,
                                        const char *types);
    // Adds a method to the class's own table; false if the class already has one of its own.
    static bool addMethod(Class cls, Selector selector, Implementation implementation,
                          const char *types);
    // The type encoding stored with the class's own method; empty when it has none.
    static std::string methodTypes(Class cls, Selector selector);

    // How the modelled desktop is put together.
    enum class Desktop {
        kDelegateAnswersReopen,  // the delegate's class implements the reopen request
        kDelegateInheritsReopen, // only a super class of the delegate's class implements it
        kDelegateIgnoresReopen,  // no class of the delegate implements it
        kNoApplication,          // the shared application is nil
    };
    // Rebuilds the model; every class and method installed before is gone.
    static void resetDesktop(Desktop desktop);

    // What the desktop does on a click on the program's dock icon: it sends the delegate the
    // reopen request, when the delegate answers it, and performs its own reopen action when the
    // answer is YES or there is no answer. Returns whether it performed that action.
    static bool clickDockIcon(bool hasVisibleWindows);
    // How often the desktop performed its own reopen action since the last reset.
    static int systemReopenCount();
};
