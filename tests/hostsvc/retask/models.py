from hostsvc.records import TaskRecordBase


class RETaskRecord(TaskRecordBase):
    pass
