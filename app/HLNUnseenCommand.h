#pragma once

// `hollin --unseen MOUNT`: accounts for every byte of the drive mounted at
// MOUNT and prints "<bytes>\t<category>\t<detail>" per item, then
// "<size>\ttotal\t<MOUNT>".
namespace HLNUnseenCommand {
int run(int argc, char** argv);
}
