"""What the tool's files must hold, computed here from the fixtures with Python's own digests."""
import hashlib


def file_entry(f):
    name = f.original.replace("\\", "/").rsplit("/", 1)[-1]
    if f.content:
        md5, sha = hashlib.md5(f.content).hexdigest(), hashlib.sha256(f.content).hexdigest()
    else:
        md5 = sha = "N/A"
    actor = f.actor.replace("\\", "/")
    return (f'\n\t\t\t{{ "FileName" : "{name}" ,"CreateTime" : {f.create}, "ModifyTime" : {f.modify}, '
            f'"AccessTime" : {f.access}, "MD5" : "{md5}", "SHA256" : "{sha}", "ActorProcessName" : "{actor}" }}')


def item_time(created):
    date, time = created.split(" ")
    y, mo, d = (int(x) for x in date.split("-"))
    h, mi, s = (int(x) for x in time.split(":"))
    return f"{y}-{mo}-{d}T{h}:{mi}:{s}"


def signed32(n):
    return n - (1 << 32) if n >= (1 << 31) else n


def item_block(item, restored_files, last):
    head = (f'\t"{item.registry_text}" : {{\n'
            f'\t\t"CreationTime" : "{item_time(item.created)}",\n'
            f'\t\t"VirusType" : {signed32(item.virus_type)},\n'
            f'\t\t"DetectionType" : {signed32(item.detect_type)},\n'
            f'\t\t"DetectionName" : "{item.detection}",\n'
            f'\t\t"FileList" :  [ ')
    entries = ",".join(file_entry(f) for f in restored_files)
    return head + entries + "\n\t\t]\n" + ("\t}\n" if last else "\t},\n")


def metadata(agent_guid, blocks):
    """blocks: (item, restored files) in catalogue order, only the items taken up."""
    text = "{\n" + f'\t"AgentGUID" : "{agent_guid}",\n'
    for i, (item, files) in enumerate(blocks):
        text += item_block(item, files, i == len(blocks) - 1)
    text += "}\n"
    return text.replace("\n", "\r\n").encode("latin-1", errors="replace")
