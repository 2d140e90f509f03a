#include "PrintUsage.h"

#include <cstdio>

void PrintUsage(int shortForm) {
    std::printf("Usage:   -a <IP-address>\n");
    std::printf("         -u <user-name>\n");
    std::printf("         -p <user-password>\n");
    std::printf("         -o <port>\n");
    std::printf("         -f[w] {<floppy device-name> or <image-file-name>} {writable} and/or\n");
    std::printf("         -r[w] {<removable device name> or <image-file-name>} {writable} and/or\n");
    std::printf("         -c {<CD/DVD device-name> or <iso-file-name>}\n");
    std::printf("         [-i] interactive\n");
    std::printf("         [-v] version\n");
    std::printf("         [-h] help\n\n");
    std::printf("Exit:    Ctrl-C\n\n");
    if (shortForm == 1) {
        std::fflush(stdout);
        return;
    }
    std::printf("Options:\n-a \t<IP-address> is a valid, unique IP address or the Dynamic\n");
    std::printf("\tDomain Naming System(DDNS) name(if supported).\n");
    std::printf("-u \tuser name that will run Virtual Media\n");
    std::printf("-p \tPassword for specified user.\n\n");
    std::printf("-f \t<floppy device-name> is a valid drive letter(for Windows) or valid\n");
    std::printf("\tdevice file name, including the mountable file system partition number,\n");
    std::printf("\tif applicable(for Linux), and <image-file> is the file name and\n");
    std::printf("\tpath of a valid image file.\n");
    std::printf("\tFor example, an image file is specified as\n\t-f c:\\temp\\floppy.img (Windows)\n");
    std::printf("\t-f /temp/floppy.img (Linux)\n\n\tFor example, a device is specified as:\n");
    std::printf("\t-f /Volumes/floppy.img (Mac)\n");
    std::printf("\t-f a: (Windows)\n\t-f /dev/sdb4  4th partition on device /dev/sdb (Linux)\n");
    std::printf("\tThis option may also be used for USB devices or USB Image files.\n\n");
    std::printf("-r \t<removable-device-name> is a valid drive letter(for Windows) or valid\n");
    std::printf("\tdevice file name, including the mountable file system partition number,\n");
    std::printf("\tif applicable(for Linux), and <image-file> is the file name and\n");
    std::printf("\tpath of a valid image file.\n");
    std::printf("\tFor example, an image file is specified as\n\t-r c:\\temp\\removable.img (Windows)\n");
    std::printf("\t-r /temp/removable.img (Linux)\n\n\tFor example, a device is specified as:\n");
    std::printf("\t-r /Volumes/removable.img (Mac)\n");
    std::printf("\t-r a: (Windows)\n\t-r /dev/sdb4  4th partition on device /dev/sdb (Linux)\n");
    std::printf("\tThis option may also be used for Floppy devices or Floppy Image files.\n\n");
    std::printf("-c \t<cd-dvd-device-name> is a valid CD/DVD drive letter(Windows systems) or\n");
    std::printf("\ta valid CD/DVD device file name(Linux systems) and <image-file> is the\n");
    std::printf("\tfile name and path of a valid ISO-9660 image file.\n\n");
    std::printf("\tFor example, an image file is specified as:\n\t-c c:\\temp\\cd_dvd.iso (Windows)\n");
    std::printf("\t-c /temp/cd_dvd.iso (Linux)\n\n");
    std::printf("\t-c /Volumes/cd_dvd.iso (Mac)\n\n");
    std::printf("\tFor example, a device file is specified as:\n\t-c d: (Windows)\n\t-c /dev/cdrom (Linux)\n\n");
    std::printf("-i\tAllows the IP address, user name, password, and media type to be\n");
    std::printf("\tentered interactively.\n\n");
    std::printf("-v\tDisplays the program version.\n");
    std::printf("-h\tDisplays this help information.\n");
    std::fflush(stdout);
}
