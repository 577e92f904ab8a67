"""Task records with the add_records manager operation the task log calls.

Every add_records call is stored as its own TaskLog row (inserts only), so
that concurrent worker threads never lose each other's lines.
"""
from django.apps import apps
from django.db import models


class RecordManager(models.Manager):
    def add_records(self, lock_id=None, task_index=None, recs=None):
        task_log = apps.get_model("dtask", "TaskLog")
        task_log.objects.create(
            kind=self.model._meta.label, lock_id=lock_id, task_index=task_index, recs=list(recs)
        )


class TaskRecordBase(models.Model):
    create_time = models.DateTimeField()
    extras = models.JSONField(default=dict)

    objects = RecordManager()

    class Meta:
        abstract = True


def read_records(lock_id, task_index=None):
    """The lists of texts stored for a record (and step), in storing order."""
    task_log = apps.get_model("dtask", "TaskLog")
    rows = task_log.objects.filter(lock_id=lock_id)
    if task_index is not None:
        rows = rows.filter(task_index=task_index)
    return [row.recs for row in rows.order_by("id")]
