#include "app/dockruntime.h"

#include <memory>
#include <set>
#include <vector>

namespace {

using Runtime = DockRuntime;

const char kRootClass[] = "DesktopObject";
const char kApplicationClass[] = "NSApplication";
const char kResponderClass[] = "DesktopResponder";
const char kDelegateClass[] = "DesktopApplicationDelegate";
const char kReopenSelector[] = "applicationShouldHandleReopen:hasVisibleWindows:";

struct World
{
    std::set<std::string> selectors;
    std::map<std::string, std::unique_ptr<Runtime::ClassRecord>> classes;
    std::vector<std::unique_ptr<Runtime::ClassRecord>> metaclasses;
    std::unique_ptr<Runtime::ObjectRecord> application;
    std::unique_ptr<Runtime::ObjectRecord> delegate;
    int systemReopens = 0;
    bool built = false;
};

World &world()
{
    static World instance;
    return instance;
}

Runtime::Implementation generic(Runtime::ObjectMethod method)
{
    return reinterpret_cast<Runtime::Implementation>(method);
}

Runtime::Implementation generic(Runtime::ReopenMethod method)
{
    return reinterpret_cast<Runtime::Implementation>(method);
}

// A class and its metaclass; class messages are looked up in the metaclass.
Runtime::Class defineClass(const char *name, Runtime::Class superclass)
{
    World &w = world();
    auto meta = std::make_unique<Runtime::ClassRecord>();
    meta->name = name;
    auto cls = std::make_unique<Runtime::ClassRecord>();
    cls->name = name;
    cls->superclass = superclass;
    cls->isa = meta.get();
    // The root metaclass inherits from the root class, so classes answer its messages too.
    meta->superclass = superclass ? superclass->isa : cls.get();
    Runtime::Class result = cls.get();
    w.metaclasses.push_back(std::move(meta));
    w.classes[name] = std::move(cls);
    return result;
}

Runtime::Object classOfObject(Runtime::Object self, Runtime::Selector)
{
    return self ? self->isa : nullptr;
}

Runtime::Object sharedApplication(Runtime::Object, Runtime::Selector)
{
    return world().application.get();
}

Runtime::Object applicationDelegate(Runtime::Object, Runtime::Selector)
{
    return world().delegate.get();
}

// The desktop's usual answer: yes, reopen the program's windows.
bool defaultReopen(Runtime::Object, Runtime::Selector, ...)
{
    return true;
}

void ensureBuilt()
{
    if (!world().built)
        Runtime::resetDesktop(Runtime::Desktop::kDelegateAnswersReopen);
}

} // namespace

DockRuntime::Class DockRuntime::getClass(const char *name)
{
    ensureBuilt();
    if (!name)
        return nullptr;
    const auto it = world().classes.find(name);
    return it == world().classes.end() ? nullptr : it->second.get();
}

DockRuntime::Selector DockRuntime::registerSelector(const char *name)
{
    if (!name)
        return nullptr;
    return world().selectors.insert(name).first->c_str();
}

DockRuntime::Object DockRuntime::sendMessage(Object receiver, Selector selector)
{
    if (!receiver || !selector)
        return nullptr;
    const Implementation implementation = instanceMethod(receiver->isa, selector);
    if (!implementation)
        return nullptr;
    return reinterpret_cast<ObjectMethod>(implementation)(receiver, selector);
}

DockRuntime::Implementation DockRuntime::instanceMethod(Class cls, Selector selector)
{
    for (Class current = cls; current && selector; current = current->superclass) {
        const auto it = current->methods.find(selector);
        if (it != current->methods.end())
            return it->second.implementation;
    }
    return nullptr;
}

DockRuntime::Implementation DockRuntime::replaceMethod(Class cls, Selector selector,
                                                       Implementation implementation,
                                                       const char *types)
{
    if (!cls || !selector || !implementation)
        return nullptr;
    auto &method = cls->methods[selector];
    const Implementation previous = method.implementation;
    method.implementation = implementation;
    method.types = types ? types : "";
    return previous;
}

bool DockRuntime::addMethod(Class cls, Selector selector, Implementation implementation,
                            const char *types)
{
    if (!cls || !selector || !implementation || cls->methods.count(selector))
        return false;
    cls->methods[selector] = {implementation, types ? types : ""};
    return true;
}

std::string DockRuntime::methodTypes(Class cls, Selector selector)
{
    if (!cls)
        return {};
    const auto it = cls->methods.find(selector);
    return it == cls->methods.end() ? std::string() : it->second.types;
}

void DockRuntime::resetDesktop(Desktop desktop)
{
    World &w = world();
    w.application.reset();
    w.delegate.reset();
    w.classes.clear();
    w.metaclasses.clear();
    w.systemReopens = 0;
    w.built = true;

    const Class root = defineClass(kRootClass, nullptr);
    root->methods[registerSelector("class")] = {generic(&classOfObject), "#@:"};

    const Class applicationClass = defineClass(kApplicationClass, root);
    applicationClass->isa->methods[registerSelector("sharedApplication")] = {
        generic(&sharedApplication), "@@:"};
    applicationClass->methods[registerSelector("delegate")] = {generic(&applicationDelegate),
                                                               "@@:"};

    const Class responder = defineClass(kResponderClass, root);
    const Class delegateClass = defineClass(kDelegateClass, responder);
    const Selector reopen = registerSelector(kReopenSelector);
    if (desktop == Desktop::kDelegateAnswersReopen)
        delegateClass->methods[reopen] = {generic(&defaultReopen), "B@:@B"};
    else if (desktop == Desktop::kDelegateInheritsReopen)
        responder->methods[reopen] = {generic(&defaultReopen), "B@:@B"};

    if (desktop != Desktop::kNoApplication) {
        w.application = std::make_unique<ObjectRecord>();
        w.application->isa = applicationClass;
        w.delegate = std::make_unique<ObjectRecord>();
        w.delegate->isa = delegateClass;
    }
}

bool DockRuntime::clickDockIcon(bool hasVisibleWindows)
{
    ensureBuilt();
    World &w = world();
    const Object application = w.application.get();
    if (!application)
        return false;
    bool reopen = true;
    const Object delegate = sendMessage(application, registerSelector("delegate"));
    const Selector selector = registerSelector(kReopenSelector);
    if (delegate) {
        if (const Implementation implementation = instanceMethod(delegate->isa, selector))
            reopen = reinterpret_cast<ReopenMethod>(implementation)(delegate, selector, application,
                                                                    hasVisibleWindows);
    }
    if (reopen)
        ++w.systemReopens;
    return reopen;
}

int DockRuntime::systemReopenCount()
{
    return world().systemReopens;
}
