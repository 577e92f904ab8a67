from django.db import models

from hostsvc.records import TaskRecordBase


class RunRecord(TaskRecordBase):
    pass


class TaskLog(models.Model):
    kind = models.CharField(max_length=100)
    lock_id = models.IntegerField()
    task_index = models.IntegerField()
    recs = models.JSONField()
