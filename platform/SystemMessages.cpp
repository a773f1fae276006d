// System message texts in English and Chinese, each ending in a line break as
// the system writes them.
#include "platform/SystemMessages.h"

namespace {

constexpr ResourceText kSystemMessages[] = {
    {0, u"The operation completed successfully.\r\n", u"操作成功完成。\r\n"},
    {2, u"The system cannot find the file specified.\r\n", u"系统找不到指定的文件。\r\n"},
    {4, u"The system cannot open the file.\r\n", u"系统无法打开文件。\r\n"},
    {5, u"Access is denied.\r\n", u"拒绝访问。\r\n"},
    {6, u"The handle is invalid.\r\n", u"句柄无效。\r\n"},
    {8, u"Not enough memory resources are available to process this command.\r\n",
     u"存储空间不足，无法处理此命令。\r\n"},
    {13, u"The data is invalid.\r\n", u"数据无效。\r\n"},
    {14, u"Not enough memory resources are available to complete this operation.\r\n",
     u"存储空间不足，无法完成此操作。\r\n"},
    {31, u"A device attached to the system is not functioning.\r\n",
     u"连到系统上的设备没有发挥作用。\r\n"},
    {50, u"The request is not supported.\r\n", u"不支持该请求。\r\n"},
    {87, u"The parameter is incorrect.\r\n", u"参数错误。\r\n"},
    {111, u"The file name is too long.\r\n", u"文件名太长。\r\n"},
    {122, u"The data area passed to a system call is too small.\r\n",
     u"传递给系统调用的数据区域太小。\r\n"},
    {232, u"The pipe is being closed.\r\n", u"管道正在被关闭。\r\n"},
    {1113, u"No mapping for the Unicode character exists in the target multi-byte code page.\r\n",
     u"在多字节的目标代码页中，没有此 Unicode 字符可以映射到的字符。\r\n"},
    {6000, u"The specified file could not be encrypted.\r\n", u"无法加密指定的文件。\r\n"},
    {0x80004001u, u"Not implemented\r\n", u"未实现\r\n"},
    {0x80004003u, u"Invalid pointer\r\n", u"无效指针\r\n"},
    {0x80004005u, u"Unspecified error\r\n", u"未指定的错误\r\n"},
    {0x80092004u, u"Cannot find object or property.\r\n", u"找不到对象或属性。\r\n"},
    {0x80093100u, u"ASN1 internal encode or decode error.\r\n", u"ASN1 内部编码或解码错误。\r\n"},
    {0x80093102u, u"ASN1 unexpected end of data.\r\n", u"ASN1 意外的数据结尾。\r\n"},
    {0x80093103u, u"ASN1 corrupted data.\r\n", u"ASN1 损坏的数据。\r\n"},
    {0x8009310Bu, u"ASN1 bad tag value met.\r\n", u"ASN1 遇到错误的标记值。\r\n"},
};

}  // namespace

std::span<const ResourceText> SystemMessageTable() { return kSystemMessages; }
