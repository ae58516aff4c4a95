#include "support/ChildNamed.h"

Ref<HLNFile> childNamed(const Ref<HLNFile>& folder, std::string_view name) {
    if (HLNFile::ChildList list = folder->children())
        for (const Ref<HLNFile>& c : *list)
            if (c->nameView() == name)
                return c;
    return nullptr;
}
