from hostsvc.records import TaskRecordBase


class DPTaskRecord(TaskRecordBase):
    pass
